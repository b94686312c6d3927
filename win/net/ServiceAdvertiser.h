// Publishes the server on the local network so that the app can find it.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace pallorwind::win {

class CCommuInterface;

// The registration-error dialog's answer: closed with OK, and whether "Do not
// popup this dialog again" was ticked.
using RegistrationErrorAnswer = std::function<void(bool ok, bool dontShowAgain)>;

// Shows the registration-error dialog. Called on the main thread; answers
// there, now or later.
class RegistrationErrorPrompt {
public:
    virtual void AskRegistrationError(RegistrationErrorAnswer answer) = 0;

protected:
    ~RegistrationErrorPrompt() = default;
};

class ServiceAdvertiser {
public:
    // Withdraws the advertisement.
    virtual ~ServiceAdvertiser() = default;
    // Advertises `name` (empty: the computer's name) on `port`. Reports a
    // refused name through the controller. False when registration failed.
    virtual bool Register(const std::string& name, const std::string& port,
                          CCommuInterface* commu) = 0;
};

using ServiceAdvertiserFactory = std::function<std::unique_ptr<ServiceAdvertiser>()>;

// Advertises nothing and says so once on standard error.
std::unique_ptr<ServiceAdvertiser> MakeNoDiscovery();

} // namespace pallorwind::win
