// The bridge's controller: the status menu, the preferences, one app at a
// time over the listener, the virtual MIDI ports, and layout files both ways.
#pragma once

#include "osx/AppStreams.h"
#include "osx/LayoutSaver.h"
#include "osx/MidiHandler.h"
#include "osx/Panels.h"
#include "osx/Preferences.h"
#include "osx/TCPServer.h"
#include "platform/app/Log.h"
#include "platform/app/SingleShotTimer.h"
#include "platform/net/Backoff.h"
#include "platform/net/Retirer.h"
#include "platform/ui/Menu.h"
#include "platform/ui/TrayHost.h"
#include "platform/ui/UserInterface.h"
#include "protocol/AppStream.h"
#include "protocol/HeldNotes.h"
#include "protocol/LayoutTransfer.h"
#include "protocol/ServiceType.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pallorwind::osx {

// The status menu's items, by tag.
inline constexpr int kTagClients = 10;
inline constexpr int kTagName = 20;
inline constexpr int kTagDefaultName = 21;
inline constexpr int kTagChooseName = 22;
inline constexpr int kTagPort = 30;
inline constexpr int kTagAutoPort = 31;
inline constexpr int kTagChoosePort = 32;
inline constexpr int kTagMidi = 40;
inline constexpr int kTagDefaultMidi = 41;
inline constexpr int kTagChooseMidi = 42;
inline constexpr int kTagAddress = 50;
inline constexpr int kTagQuit = 90;

using protocol::kServiceType;
inline constexpr const char* kServiceDomain = "local";
inline constexpr const char* kCaption = "Pallorwind";

struct PallorwindContext {
    Preferences* prefs = nullptr;
    midi::VirtualMidiSystem* midi = nullptr;
    platform::TrayHost* tray = nullptr;
    Panels* panels = nullptr;
    platform::UserInterface* ui = nullptr;
    ServicePublisher publisher = DnsSdPublisher();
    // Received layouts go to `desktop` (made when missing), else to `home`.
    std::string desktop;
    std::string home;
    std::string address; // shown as "IP: ..."
    // The menu's Quit; null: nothing.
    std::function<void()> quit;
    // The first pause before set-up is tried again after a failure; it
    // doubles up to `longestRetry`.
    std::chrono::milliseconds firstRetry{250};
    std::chrono::milliseconds longestRetry{8000};
    // How long an app that has gone silent is kept.
    platform::LinkTimeouts linkTimeouts;
};

class Pallorwind final : public TCPServerDelegate, public MidiHandlerOwner {
public:
    enum class Mode { Midi, Layout };

    explicit Pallorwind(PallorwindContext context);
    ~Pallorwind() override;
    Pallorwind(const Pallorwind&) = delete;
    Pallorwind& operator=(const Pallorwind&) = delete;

    // Start: defaults on first run, the status menu, the listener, the MIDI ports.
    void AwakeFromNib();

    // The status menu's commands (the tag of the chosen item).
    void Command(int tag);
    void SelectName();
    void SelectPort();
    void SelectMidiPort();
    void SetName(const std::string& name);
    void SetPort(long long port);
    void SetMidiPort(const std::string& suffix);
    void ResetName();
    void ResetPort();
    void ResetMidiPort();

    // Sends the layout file at `path` to the connected app; false when no app
    // is connected or the file cannot be read.
    bool OpenFile(const std::string& path);
    // As OpenFile, or, with no app connected now, to the next app that connects.
    void OpenFileWhenConnected(const std::string& path);

    // TCPServerDelegate
    void DidAcceptConnection(TCPServer& server, std::unique_ptr<AppStreams> streams) override;
    void ServerDidEnableBonjour(TCPServer& server, const std::string& name) override;
    void ServerDidNotEnableBonjour(TCPServer& server, int error) override;
    // MidiHandlerOwner: MIDI from other programs, for the app (MIDI thread).
    void HandleMidiMessage(const std::uint8_t* bytes, std::size_t size) override;

    // What the controller shows and holds, for the program and for tests.
    const platform::Menu& StatusMenu() const { return m_menu; }
    TCPServer* Server() const { return m_server.get(); }
    bool Connected() const { return m_inReady && m_outReady; }
    Mode ReceiveMode() const { return m_reader.InLayout() ? Mode::Layout : Mode::Midi; }
    platform::TrayIcon Icon() const { return m_icon; }
    MidiHandler* Midi() const { return m_midiHandler.get(); }
    // Bytes of a layout collected so far.
    std::uint64_t LoadedDataSize() const { return m_reader.LayoutBytes(); }
    // Listeners and connections let go of, waiting for the next turn.
    std::size_t Retired() const { return m_retirer.Count(); }

private:
    struct StreamEvents;
    void Log(const std::string& line) const;
    void ActivateStatusMenu();
    void Setup();
    void SetupMidi();
    void RetrySetup();
    void ReleaseListener(bool now);
    void ReleaseStreams();
    void OpenStreams(std::unique_ptr<AppStreams> streams);
    void StreamsOpened();
    void ClientGone(AppStreams* streams);
    void BytesAvailable(AppStreams* streams);
    void ReadApp();
    // Plays one message from the app on the source, keeping what it holds.
    void PlayFromApp(std::uint32_t word);
    void Play(std::uint32_t word);
    // Lets go of the notes and pedals the app holds down.
    void ReleaseHeldNotes();
    void LayoutRefused(std::uint64_t declared);
    void LayoutSaved(const SavedLayout& saved, const std::string& folder, const std::string& name);
    void SetDefaultItem(int tag, bool isDefault);
    bool StoreSetting(const char* key, const std::string& value, int defaultTag, bool reset);
    void SetTitle(int tag, const std::string& title);
    void SetIcon(platform::TrayIcon icon);

    PallorwindContext m_context;
    LayoutSaver m_saver;
    std::unique_ptr<TCPServer> m_server;
    std::unique_ptr<AppStreams> m_streams;
    bool m_inReady = false;
    bool m_outReady = false;
    platform::Menu m_menu;
    platform::TrayIcon m_icon = platform::TrayIcon::Idle;
    std::unique_ptr<MidiHandler> m_midiHandler;
    // What the app sends: records, and layouts after their marker.
    protocol::AppStreamReader m_reader{/*carriesLayouts*/ true};
    protocol::HeldNotes m_held;      // what the connected app holds down
    platform::LogOnce m_refusedMidi; // a run of messages the ports refused
    std::optional<std::string> m_pendingFile;

    // The app's output as the MIDI thread reaches it.
    std::mutex m_outLock;
    AppStreams* m_midiOut = nullptr; // guarded by m_outLock
    platform::LogOnce m_dropping;    // a run of MIDI dropped for the app

    // Listeners and streams let go of inside their own notices die here, on
    // the next turn of the event loop.
    platform::Retirer m_retirer;
    platform::SingleShotTimer m_retry;
    platform::Backoff m_backoff;
};

} // namespace pallorwind::osx
