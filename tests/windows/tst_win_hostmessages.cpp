// The host's side of the window-message path, across two real Win32 processes:
// this program plays the host application. It finds the receiver's window
// (win_hostreceiver, started first by the driver) with FindWindowW, SendMessage()s
// colour frames and sync switches to it, checks each SendMessage result and what
// the receiver decided, and finally asks nanoleaf-sim, through its control
// interface, which datagrams reached the devices, byte for byte.
//
//   tst_win_hostmessages.exe --control 127.0.0.1:PORT
//
// The devices: "Light Panels" at 127.0.0.2 with panels 82, 15, 200 and "Canvas" at
// 127.0.0.3 with panels 1234, 7 (the driver gives the simulator and the receiver
// the same list).

#include "controlclient.h"
#include "guardedpayload.h"
#include "hostwindow.h"
#include "wincheck.h"

#include "platform/socketlayer.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;
using Colour = std::array<std::uint8_t, 4>; // red, green, blue, the unused fourth byte

const char* const kLightIp = "127.0.0.2";
const char* const kCanvasIp = "127.0.0.3";

// The host's nanoleafData record: 12 entries of four bytes, then two little-endian
// 32-bit integers (offset 48 only logged, offset 52 the sync device type).
Bytes record(const std::array<Colour, 12>& colours, std::int32_t syncDeviceType)
{
    Bytes out;
    for (const Colour& c : colours)
        out.insert(out.end(), c.begin(), c.end());
    for (std::int32_t value : { std::int32_t(0x11223344), syncDeviceType }) {
        const auto bits = static_cast<std::uint32_t>(value);
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    return out;
}

const std::array<Colour, 12> kFrameA = { { { 255, 0, 0, 7 }, { 0, 128, 255, 7 }, { 16, 32, 48, 7 },
    { 30, 31, 32, 7 }, { 40, 41, 42, 7 }, { 50, 51, 52, 7 }, { 60, 61, 62, 7 }, { 70, 71, 72, 7 },
    { 80, 81, 82, 7 }, { 90, 91, 92, 7 }, { 100, 101, 102, 7 }, { 110, 111, 112, 7 } } };
const std::array<Colour, 12> kFrameB = { { { 200, 100, 50, 7 }, { 9, 8, 7, 6 },
    { 255, 255, 255, 255 }, { 1, 1, 1, 1 }, { 2, 2, 2, 2 }, { 3, 3, 3, 3 }, { 4, 4, 4, 4 },
    { 5, 5, 5, 5 }, { 6, 6, 6, 6 }, { 7, 7, 7, 7 }, { 8, 8, 8, 8 }, { 9, 9, 9, 9 } } };

// What the devices must receive, written out by hand from the two layouts.
std::string zeros(std::size_t bytes)
{
    return std::string(bytes * 2, '0');
}
const std::string kLightA = "03"
                            "5201ff00000000"
                            "0f010080ff0000"
                            "c8011020300000"
    + zeros(74);
const std::string kLightB = "03"
                            "5201c864320000"
                            "0f010908070000"
                            "c801ffffff0000"
    + zeros(74);
const std::string kCanvasA = "0002"
                             "04d2ff0000000000"
                             "00070080ff000000"
    + zeros(102);
const std::string kCanvasB = "0002"
                             "04d2c86432000000"
                             "0007090807000000"
    + zeros(102);

struct Host {
    HWND window = nullptr;

    LRESULT copyData(ULONG_PTR dwData, const Bytes& payload, std::size_t cbData)
    {
        // The host's bytes end at a page boundary; the system copies cbData of them.
        GuardedPayload placed(
            Bytes(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(cbData)));
        COPYDATASTRUCT data;
        data.dwData = dwData;
        data.cbData = static_cast<DWORD>(cbData);
        data.lpData = cbData == 0 ? nullptr : const_cast<std::uint8_t*>(placed.data());
        return SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    }

    LRESULT frame(const std::array<Colour, 12>& colours, std::int32_t syncDeviceType)
    {
        const Bytes bytes = record(colours, syncDeviceType);
        return copyData(10001, bytes, bytes.size());
    }

    LRESULT syncSwitch(WPARAM type)
    {
        return SendMessageW(window, HostIntake::kSyncSwitch, type, 0);
    }

    LRESULT inspect(HostWindow::Inspect what)
    {
        return SendMessageW(window, HostWindow::kInspect, what, 0);
    }
};

void checkDecision(WinCheck& t, Host& host, const std::string& name, bool handled,
    HostIntake::Action action, int datagrams)
{
    const LRESULT packed = host.inspect(HostWindow::LastDecision);
    t.equal(HostWindow::unpackHandled(packed), handled, name + ": handled flag");
    t.equal(HostWindow::unpackAction(packed), action, name + ": intake action");
    t.equal(HostWindow::unpackForwarded(packed), action == HostIntake::Action::Forward,
        name + ": forwarded");
    t.equal(HostWindow::unpackDatagrams(packed), datagrams, name + ": datagrams sent for it");
}

// The simulator logs datagrams on its own thread: wait, bounded, until `count`
// are in (or the bound is reached), then hand over what is there.
std::vector<ControlClient::Frame> framesOf(
    ControlClient& control, const char* ip, std::size_t count, std::string& error)
{
    std::vector<ControlClient::Frame> frames;
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::string body;
        if (!control.get(std::string("/devices/") + ip + "/frames", body, error))
            return frames;
        frames = ControlClient::framesFrom(body);
        if (frames.size() >= count)
            break;
        Sleep(100);
    }
    return frames;
}

void checkFrames(WinCheck& t, ControlClient& control, const char* ip, int port,
    const std::string& first, const std::string& second)
{
    std::string error;
    const std::vector<ControlClient::Frame> frames = framesOf(control, ip, 2, error);
    const std::string where = std::string("datagrams at ") + ip;
    if (!t.check(error.empty(), where + ": control interface answers", error))
        return;
    // Exactly the two forwarded frames: the dropped, short and declined ones sent nothing.
    if (!t.equal(frames.size(), std::size_t(2), where + ": one per forwarded frame"))
        return;
    t.equal(frames[0].port, port, where + ": first on port " + std::to_string(port));
    t.equal(frames[1].port, port, where + ": second on port " + std::to_string(port));
    t.equal(frames[0].bytesHex, first, where + ": first frame, exact bytes");
    t.equal(frames[1].bytesHex, second, where + ": second frame, exact bytes");
}

} // namespace

int main(int argc, char** argv)
{
    WinCheck t("tst_win_hostmessages");
    std::string controlAddress;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--control") == 0)
            controlAddress = argv[i + 1];
    if (!t.check(!controlAddress.empty(), "--control HOST:PORT given"))
        return t.finish();

    t.equal(Platform::Net::startup(), 0, "WSAStartup 2.2");
    ControlClient control(controlAddress);
    std::string body;
    std::string error;
    t.check(control.post("/reset", "{}", body, error), "simulator reset", error);

    Host host;
    // The receiver was started just before; give it a bounded while to open its window.
    for (int attempt = 0; attempt < 200 && host.window == nullptr; ++attempt) {
        host.window = FindWindowW(HostWindow::kClassName, HostWindow::kTitle);
        if (host.window == nullptr)
            Sleep(50);
    }
    if (!t.check(
            host.window != nullptr, "FindWindowW finds the receiver's window by class and title"))
        return t.finish();

    using HostIntake::Action;
    t.equal(host.inspect(HostWindow::SyncDeviceType), LRESULT(1), "sync device type starts at 1");

    t.equal(host.frame(kFrameA, 1), LRESULT(1), "frame of the current type: SendMessage gives 1");
    checkDecision(t, host, "frame of the current type", true, Action::Forward, 2);

    t.equal(host.frame(kFrameA, 2), LRESULT(1), "frame of another type: SendMessage gives 1");
    checkDecision(t, host, "frame of another type", true, Action::Drop, 0);

    // Short records: answered 0 and handled, never forwarded, and the receiver
    // reads no more than the cbData bytes the system copied over.
    const Bytes full = record(kFrameA, 1);
    for (std::size_t cbData :
        { std::size_t(0), std::size_t(1), std::size_t(20), std::size_t(55) }) {
        const std::string name = "frame with cbData " + std::to_string(cbData);
        t.equal(host.copyData(10001, full, cbData), LRESULT(0), name + ": SendMessage gives 0");
        checkDecision(t, host, name, true, Action::ShortFrame, 0);
    }

    t.equal(host.copyData(10000, full, full.size()), LRESULT(0),
        "dwData 10000: left to default processing (0)");
    checkDecision(t, host, "dwData 10000", false, Action::Decline, 0);

    t.equal(host.syncSwitch(3), LRESULT(0), "sync switch 33024 to 3: SendMessage gives 0");
    checkDecision(t, host, "sync switch", false, Action::SyncSwitch, 0);
    t.equal(host.inspect(HostWindow::SyncDeviceType), LRESULT(3), "sync switch: the type is now 3");

    t.equal(host.frame(kFrameA, 1), LRESULT(1),
        "frame of the old type after the switch: SendMessage gives 1");
    checkDecision(t, host, "frame of the old type after the switch", true, Action::Drop, 0);

    t.equal(host.frame(kFrameB, 3), LRESULT(1), "frame of the new type: SendMessage gives 1");
    checkDecision(t, host, "frame of the new type", true, Action::Forward, 2);

    t.equal(host.inspect(HostWindow::FramesForwarded), LRESULT(2), "two frames forwarded in all");
    t.equal(host.inspect(HostWindow::DatagramsSent), LRESULT(4), "four datagrams sent in all");
    t.equal(host.inspect(HostWindow::HostMessages), LRESULT(10),
        "every host message reached the adapter");

    checkFrames(t, control, kLightIp, 60221, kLightA, kLightB);
    checkFrames(t, control, kCanvasIp, 60222, kCanvasA, kCanvasB);

    SendMessageW(host.window, HostWindow::kQuit, 0, 0);
    Platform::Net::cleanup();
    return t.finish();
}
