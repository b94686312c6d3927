#include "osx/Pallorwind.h"

#include "platform/app/Log.h"

#include "osx/LayoutFiles.h"
#include "protocol/MidiText.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace pallorwind::osx {

namespace {
// One read per notice, so that a long layout never holds the event loop.
constexpr std::size_t kReadSize = 4096;
// What may wait for the app besides a layout being sent: the layouts sent
// just before it.
constexpr std::size_t kLayoutRoom = 2 * protocol::kMaxLayoutContentSize;
constexpr const char* kNoClients = "No clients";
constexpr const char* kOneClient = "1 Client connected";
} // namespace

Pallorwind::Pallorwind(PallorwindContext context)
    : m_context(std::move(context)),
      m_saver([this](const SavedLayout& saved, const std::string& folder, const std::string& name) {
          LayoutSaved(saved, folder, name);
      }),
      m_backoff(m_context.firstRetry, m_context.longestRetry) {
    m_menu.Append(kTagClients, kNoClients, false);
    m_menu.AppendSeparator();
    m_menu.Append(kTagName, "Name: ", false);
    m_menu.Append(kTagChooseName, "Choose Name...");
    m_menu.Append(kTagDefaultName, "Default Name");
    m_menu.AppendSeparator();
    m_menu.Append(kTagPort, "Port: ", false);
    m_menu.Append(kTagChoosePort, "Choose Port...");
    m_menu.Append(kTagAutoPort, "Automatic Port");
    m_menu.AppendSeparator();
    m_menu.Append(kTagMidi, "Midi: ", false);
    m_menu.Append(kTagChooseMidi, "Choose MIDI Name...");
    m_menu.Append(kTagDefaultMidi, "Default MIDI Name");
    m_menu.AppendSeparator();
    m_menu.Append(kTagAddress, "IP: ", false);
    m_menu.AppendSeparator();
    m_menu.Append(kTagQuit, "Quit");
}

Pallorwind::~Pallorwind() {
    m_retry.Stop();
    if (m_context.tray)
        m_context.tray->Remove();
    ReleaseListener(true);
    ReleaseStreams();
    if (m_midiHandler)
        m_midiHandler->Close();
    m_retirer.FreeAll();
}

void Pallorwind::Log(const std::string& line) const {
    platform::Log::Line(line);
}

void Pallorwind::AwakeFromNib() {
    if (!m_context.prefs->Has(kPrefPrefs)) {
        Log("setPrefs");
        SetPrefs(*m_context.prefs);
    }
    ActivateStatusMenu();
    Setup();
    SetupMidi();
}

void Pallorwind::SetTitle(int tag, const std::string& title) {
    if (platform::MenuItem* item = m_menu.Find(tag))
        item->text = title;
    if (m_context.tray)
        m_context.tray->MenuChanged();
}

// A default item is checked while its setting has the default value, and can
// be chosen only while it is not.
void Pallorwind::SetDefaultItem(int tag, bool isDefault) {
    if (platform::MenuItem* item = m_menu.Find(tag)) {
        item->checked = isDefault;
        item->enabled = !isDefault;
    }
    if (m_context.tray)
        m_context.tray->MenuChanged();
}

void Pallorwind::SetIcon(platform::TrayIcon icon) {
    m_icon = icon;
    if (m_context.tray)
        m_context.tray->SetIcon(icon);
}

void Pallorwind::ActivateStatusMenu() {
    if (m_context.tray && !m_context.tray->Add(kCaption, m_menu, [this](int tag) { Command(tag); }))
        Log("Failed showing the status menu");
    SetIcon(platform::TrayIcon::Idle);
    Preferences& prefs = *m_context.prefs;
    SetDefaultItem(kTagDefaultName, prefs.String(kPrefServer).empty());
    SetDefaultItem(kTagAutoPort, prefs.Integer(kPrefPort) == 0);
    SetDefaultItem(kTagDefaultMidi, prefs.String(kPrefMidi).empty());
    SetTitle(kTagAddress, "IP: " + m_context.address);
}

void Pallorwind::ReleaseListener(bool now) {
    if (!m_server)
        return;
    m_server->SetDelegate(nullptr);
    m_server->DisableBonjour();
    if (now) {
        m_server.reset();
        return;
    }
    // Inside the listener's own notice: it closes on the next turn, and what
    // it accepts until then finds no delegate and is closed at once.
    m_retirer.Retire(std::move(m_server));
}

void Pallorwind::ReleaseStreams() {
    {
        std::lock_guard lock(m_outLock);
        m_midiOut = nullptr;
    }
    m_inReady = m_outReady = false;
    ReleaseHeldNotes();
    if (!m_streams)
        return;
    // Possibly inside the streams' own notice: they close on the next turn,
    // and say nothing more meanwhile.
    m_streams->Quiet();
    m_retirer.Retire(std::move(m_streams));
}

void Pallorwind::Setup() {
    m_retry.Stop();
    ReleaseListener(true);
    ReleaseStreams();
    m_server = std::make_unique<TCPServer>(m_context.publisher);
    m_server->SetDelegate(this);
    m_server->SetLinkTimeouts(m_context.linkTimeouts);
    if (m_context.prefs->Has(kPrefPort))
        m_server->SetPort(std::uint16_t(m_context.prefs->Integer(kPrefPort) & 0xFFFF));
    TCPServerError error;
    if (!m_server->Start(&error)) {
        Log("Failed creating server: " + error.Text());
        RetrySetup();
        return;
    }
    Log("listening on TCP port " + std::to_string(m_server->Port()));
    if (!m_server->EnableBonjour(kServiceDomain, kServiceType,
                                 m_context.prefs->String(kPrefServer))) {
        Log("Failed advertising server");
        RetrySetup();
        return;
    }
    m_backoff.Reset();
}

// Set-up starts over after a pause that grows while it keeps failing, so a
// port that stays taken costs one attempt every few seconds.
void Pallorwind::RetrySetup() {
    ReleaseListener(true);
    m_retry.Start(m_backoff.Next(), [this] { Setup(); });
}

void Pallorwind::ServerDidEnableBonjour(TCPServer& server, const std::string& name) {
    Log("serverDidEnableBonjour: " + name);
    SetTitle(kTagName, "Name: " + name);
    SetTitle(kTagPort, "Port: " + std::to_string(server.Port()));
}

// The listener serves on without its service; the port is shown so that the
// app can still be pointed at it by hand.
void Pallorwind::ServerDidNotEnableBonjour(TCPServer& server, int error) {
    Log("Failed publishing the service (DNS-SD error " + std::to_string(error) + ")");
    SetTitle(kTagPort, "Port: " + std::to_string(server.Port()));
}

void Pallorwind::SetupMidi() {
    const std::string name = MidiEndpointName(m_context.prefs->String(kPrefMidi));
    SetTitle(kTagMidi, "Midi: " + name);
    // The old endpoints go before the new ones appear, and let go first of
    // what the app holds through them.
    ReleaseHeldNotes();
    if (m_midiHandler)
        m_midiHandler->Close();
    m_midiHandler.reset();
    // A MIDI system that refuses the ports says so in the log itself.
    m_midiHandler = std::make_unique<MidiHandler>(*m_context.midi, name);
    m_midiHandler->SetOwner(this);
}

void Pallorwind::DidAcceptConnection(TCPServer& server, std::unique_ptr<AppStreams> streams) {
    Log("didAcceptConnectionForServer");
    // One app at a time: the streams offered are dropped, which closes them.
    if (m_streams || &server != m_server.get())
        return;
    ReleaseListener(false);
    OpenStreams(std::move(streams));
}

void Pallorwind::OpenStreams(std::unique_ptr<AppStreams> streams) {
    m_streams = std::move(streams);
    AppStreams* opened = m_streams.get();
    m_streams->SetEvents(
        {[this, opened] { BytesAvailable(opened); }, [this, opened](int) { ClientGone(opened); }});
    SetIcon(platform::TrayIcon::Connected);
    SetTitle(kTagClients, kNoClients);
    // An accepted connection is open in both directions at once.
    m_inReady = m_outReady = true;
    StreamsOpened();
}

void Pallorwind::StreamsOpened() {
    Log("connected");
    SetTitle(kTagClients, kOneClient);
    m_reader.Reset();
    {
        std::lock_guard lock(m_outLock);
        m_midiOut = m_streams.get();
    }
    if (m_pendingFile) {
        const std::string path = std::move(*m_pendingFile);
        m_pendingFile.reset();
        OpenFile(path);
    }
}

void Pallorwind::ClientGone(AppStreams* streams) {
    if (streams != m_streams.get())
        return;
    Log("Peer Disconnected!");
    SetIcon(platform::TrayIcon::Idle);
    SetTitle(kTagClients, kNoClients);
    Setup();
}

void Pallorwind::BytesAvailable(AppStreams* streams) {
    if (streams != m_streams.get())
        return;
    ReadApp();
}

// What the reader hands out, as the controller acts on it.
struct Pallorwind::StreamEvents {
    Pallorwind& bridge;
    void Message(std::uint32_t word) { bridge.PlayFromApp(word); }
    void LayoutReceived(protocol::Layout&& layout) {
        bridge.m_saver.Save(bridge.m_context.desktop, bridge.m_context.home, std::move(layout));
    }
    void LayoutRefused(std::uint64_t declared) { bridge.LayoutRefused(declared); }
};

// One read per notice; the level-triggered notice comes again while bytes
// remain, after the event loop has had its turn.
void Pallorwind::ReadApp() {
    std::uint8_t buffer[kReadSize];
    const long n = m_streams->Read(buffer, sizeof buffer);
    if (n <= 0) {
        if (m_reader.InLayout())
            Log("Error receiving ?");
        else if (!m_streams->AtEnd())
            Log("Failed reading data from peer");
        return;
    }
    StreamEvents events{*this};
    m_reader.Feed(buffer, std::size_t(n), events);
    // A layout's name runs to the end of what has arrived.
    if (m_streams->Available() == 0)
        m_reader.EndOfBurst(events);
}

void Pallorwind::PlayFromApp(std::uint32_t word) {
    m_held.Played(word);
    Play(word);
}

void Pallorwind::Play(std::uint32_t word) {
    // One record is one message: the padding of a shorter one is not played.
    std::uint8_t bytes[3];
    const int size = protocol::EncodeShortMessage(word, bytes);
    const bool played = m_midiHandler && m_midiHandler->SendMidi(bytes, std::size_t(size));
    // One line for a run of messages the ports cannot take (no MIDI server).
    if (played)
        m_refusedMidi.Reset();
    else
        m_refusedMidi.Line(
            "MIDI ports not ready, not played: " + protocol::DescribeShortMessage(word) +
            " (nor what follows until they are ready again)");
}

void Pallorwind::ReleaseHeldNotes() {
    if (m_held.Empty())
        return;
    for (const std::uint32_t word : m_held.Release())
        Play(word);
}

void Pallorwind::LayoutRefused(std::uint64_t declared) {
    Log("Refused a layout of " + std::to_string(declared) + " bytes: larger than a layout can be");
    m_context.ui->MessageBox("A layout sent by the app was too large and was not saved.", kCaption);
}

void Pallorwind::LayoutSaved(const SavedLayout& saved, const std::string& folder,
                             const std::string& name) {
    if (!saved.ok) {
        Log("Failed saving the layout \"" + name + "\" in " + folder + ": " + saved.error);
        m_context.ui->MessageBox("The layout \"" + LayoutFileName(name) +
                                     "\" could not be saved in " + folder + ": " + saved.error,
                                 kCaption);
        return;
    }
    Log("Saved layout " + saved.path);
    if (saved.renamed || folder != m_context.desktop)
        m_context.ui->MessageBox("The layout sent by the app was saved as " + saved.path, kCaption);
}

void Pallorwind::HandleMidiMessage(const std::uint8_t* bytes, std::size_t size) {
    std::lock_guard lock(m_outLock);
    if (!m_midiOut || size == 0)
        return; // no app: dropped
    // One line for a run of drops, not one per packet.
    const bool written =
        m_midiOut->Write(std::string_view(reinterpret_cast<const char*>(bytes), size));
    if (written)
        m_dropping.Reset();
    else
        m_dropping.Line("Fail sending data");
}

bool Pallorwind::OpenFile(const std::string& path) {
    Log("send to device");
    if (!Connected())
        return false;
    std::string error;
    const auto content = ReadLayoutFile(path, error);
    if (!content) {
        Log("Failed reading " + path + ": " + error);
        m_context.ui->MessageBox("The layout " + path + " could not be read: " + error, kCaption);
        return false;
    }
    const std::string block = protocol::EncodeLayoutBlock(*content, LayoutSendName(path));
    const std::string field = block.substr(0, protocol::kLengthFieldSize);
    Log("dataSize: " + std::string(field.c_str()));
    // Marker and block in one piece: no MIDI can come between them.
    const bool sent =
        m_streams->Write(protocol::LayoutMarker() + block, block.size() + kLayoutRoom);
    Log("sent: " + std::to_string(sent ? block.size() : 0));
    return sent;
}

void Pallorwind::OpenFileWhenConnected(const std::string& path) {
    if (Connected()) {
        OpenFile(path);
        return;
    }
    Log("The layout " + path + " goes to the next app that connects");
    m_pendingFile = path;
}

void Pallorwind::Command(int tag) {
    switch (tag) {
    case kTagChooseName:
        SelectName();
        break;
    case kTagChoosePort:
        SelectPort();
        break;
    case kTagChooseMidi:
        SelectMidiPort();
        break;
    case kTagDefaultName:
        ResetName();
        break;
    case kTagAutoPort:
        ResetPort();
        break;
    case kTagDefaultMidi:
        ResetMidiPort();
        break;
    case kTagQuit:
        if (m_context.quit)
            m_context.quit();
        break;
    default:
        break;
    }
}

void Pallorwind::SelectName() {
    m_context.panels->ChooseName([this](std::string name) { SetName(name); });
}

void Pallorwind::SelectPort() {
    m_context.panels->ChoosePort([this](int port) { SetPort(port); });
}

void Pallorwind::SelectMidiPort() {
    m_context.panels->ChooseMidiName([this](std::string name) { SetMidiPort(name); });
}

// Stores a setting and sets its default item. A reset that finds the item
// already checked changes nothing and answers false.
bool Pallorwind::StoreSetting(const char* key, const std::string& value, int defaultTag,
                              bool reset) {
    const platform::MenuItem* item = m_menu.Find(defaultTag);
    if (reset && item && item->checked)
        return false;
    m_context.prefs->SetValue(key, value);
    SetDefaultItem(defaultTag, reset);
    return true;
}

// A value set through a panel unchecks its default item even when it equals
// the default.
void Pallorwind::SetName(const std::string& name) {
    StoreSetting(kPrefServer, name, kTagDefaultName, false);
    Setup();
}

void Pallorwind::SetPort(long long port) {
    StoreSetting(kPrefPort, std::to_string(port), kTagAutoPort, false);
    Setup();
}

void Pallorwind::SetMidiPort(const std::string& suffix) {
    StoreSetting(kPrefMidi, suffix, kTagDefaultMidi, false);
    SetupMidi();
}

void Pallorwind::ResetName() {
    if (StoreSetting(kPrefServer, "", kTagDefaultName, true))
        Setup();
}

void Pallorwind::ResetPort() {
    if (StoreSetting(kPrefPort, "0", kTagAutoPort, true))
        Setup();
}

void Pallorwind::ResetMidiPort() {
    if (StoreSetting(kPrefMidi, "", kTagDefaultMidi, true))
        SetupMidi();
}

} // namespace pallorwind::osx
