#pragma once

#include "platform/socketlayer.h"
#include "stream/panelmodel.h"
#include "stream/streamdatagram.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What the stream needs of one device, worked out from its record whenever the record
// changes (discovery, pairing, the layout answer, unpairing), so that sending a frame
// converts and parses nothing. The device registry keeps one per record, in table order;
// the frame packer lays datagrams out from that list as it is.
struct StreamDevice {
    std::string name; // UTF-8
    bool isPaired = false;
    // Decided from the name; None for a name of neither model.
    StreamDatagram::Model model = StreamDatagram::Model::None;
    // True for a name of neither model whose record has a v2 panel model: it is sent the
    // v2 datagram for v2Ids on port 60222.
    bool v2 = false;
    PanelModel::Model panelModel = PanelModel::Model::Unknown;
    // The address parsed, with the model's port; false when it is no dotted IPv4 address
    // (such a device is laid out, and shown in the log, but never sent to).
    bool addressOk = false;
    Platform::Net::Ipv4Endpoint to;
    int panelNumbers = 0;
    // Light: one id byte per panel; Canvas: two.
    std::vector<int> pidArrray;
    // v2: the lit panels in PanelModel::orderLitPanels order.
    std::vector<std::uint16_t> v2Ids;

    // Whether frames go to this device at all.
    bool streamed() const { return isPaired && (model != StreamDatagram::Model::None || v2); }

    // The panels a network strip drives on it, one pixel each: every panel its datagram
    // can address (Light Panels and Canvas: the layout's, as far as their ids go; v2: the
    // lit ones). 0 when it is not streamed.
    std::size_t pixels() const;
};
