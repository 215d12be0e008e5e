// win_hostreceiver: the receiving end of the host's window messages for the
// cross-process test. It opens the window the test host looks for, feeds every
// message through the Win32 adapter and the host intake, and forwards accepted
// frames with StreamDatagram + StreamSender to the paired devices of a small fixed
// registry, as the tool does after pairing. The test host (tst_win_hostmessages)
// does the checking; this program only reports what it did.
//
//   win_hostreceiver.exe --device "NAME@IP:ID,ID,..." [--device ...] [--seconds N]
//
// Every device given is paired; ids are the panel ids of its layout, in order.

#include "hostwindow.h"

#include "service/streamdatagram.h"
#include "service/streamsender.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace
{

// The fields of a registry record that the stream reads.
struct Device {
    std::string ip;
    bool isPaired = true;
    int panelNumbers = 0;
    std::vector<int> pidArrray;
};

std::u16string widen(const std::string& text)
{
    std::u16string out;
    for (unsigned char c : text)
        out.push_back(static_cast<char16_t>(c));
    return out;
}

bool parseDevice(const std::string& form, std::map<std::string, Device>& registry)
{
    const std::size_t at = form.rfind('@');
    const std::size_t colon = form.find(':', at == std::string::npos ? 0 : at);
    if (at == std::string::npos || at == 0 || colon == std::string::npos)
        return false;
    const std::string name = form.substr(0, at);
    Device device;
    device.ip = form.substr(at + 1, colon - at - 1);
    // The layout query fills pidArrray per model: one byte per panel for "Light",
    // high and low byte for "Canvas".
    const StreamDatagram::Model model = StreamDatagram::modelForName(widen(name));
    std::size_t start = colon + 1;
    for (int panels = 0; start < form.size() && panels < 256; ++panels) {
        std::size_t end = form.find(',', start);
        if (end == std::string::npos)
            end = form.size();
        const std::string idText = form.substr(start, end - start);
        char* stop = nullptr;
        const long id = std::strtol(idText.c_str(), &stop, 10);
        if (idText.empty() || stop == nullptr || *stop != '\0' || id < 0 || id > 65535)
            return false;
        if (model == StreamDatagram::Model::Canvas)
            device.pidArrray.push_back(static_cast<int>(id / 256));
        device.pidArrray.push_back(static_cast<int>(id % 256));
        ++device.panelNumbers;
        start = end + 1;
    }
    registry[name] = device;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 4096);
    std::map<std::string, Device> registry;
    unsigned seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
            if (!parseDevice(argv[++i], registry)) {
                std::fprintf(stderr, "win_hostreceiver: bad --device \"%s\"\n", argv[i]);
                return 2;
            }
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            if (seconds == 0 || seconds > 600)
                seconds = 60;
        } else {
            std::fprintf(
                stderr, "usage: win_hostreceiver --device \"NAME@IP:ID,...\" [--seconds N]\n");
            return 2;
        }
    }

    StreamSender sender;
    HostWindow window([&registry, &sender](const HostIntake::Decision& frame) {
        int sent = 0;
        // Key order, as the tool walks its device map.
        for (const auto& entry : registry) {
            const Device& device = entry.second;
            if (!device.isPaired)
                continue;
            const StreamDatagram::Model model = StreamDatagram::modelForName(widen(entry.first));
            std::vector<std::uint8_t> datagram;
            std::uint16_t port = 0;
            if (model == StreamDatagram::Model::Canvas) {
                datagram = StreamDatagram::buildCanvas(HostIntake::kColourEntries, frame.red,
                    frame.green, frame.blue, device.panelNumbers, device.pidArrray);
                port = StreamDatagram::kCanvasPort;
            } else if (model == StreamDatagram::Model::Light) {
                datagram = StreamDatagram::buildLight(HostIntake::kColourEntries, frame.red,
                    frame.green, frame.blue, device.panelNumbers, device.pidArrray);
                port = StreamDatagram::kLightPort;
            } else {
                continue;
            }
            const bool ok = sender.send(device.ip, port, datagram);
            std::printf("win_hostreceiver: %s %zu bytes to %s:%u\n", ok ? "sent" : "FAILED to send",
                datagram.size(), device.ip.c_str(), static_cast<unsigned>(port));
            if (ok)
                ++sent;
        }
        return sent;
    });
    if (!window.create()) {
        std::fprintf(
            stderr, "win_hostreceiver: cannot create the window (error %lu)\n", GetLastError());
        return 3;
    }
    std::printf("win_hostreceiver: READY, %zu devices\n", registry.size());
    if (!window.run(seconds)) {
        std::fprintf(stderr, "win_hostreceiver: no quit message within %u s\n", seconds);
        return 4;
    }
    std::printf("win_hostreceiver: closed\n");
    return 0;
}
