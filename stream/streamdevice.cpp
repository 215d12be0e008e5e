#include "stream/streamdevice.h"

#include <algorithm>

std::size_t StreamDevice::pixels() const
{
    if (!streamed())
        return 0;
    if (v2)
        return v2Ids.size();
    const std::size_t panels = static_cast<std::size_t>(std::max(0, panelNumbers));
    const std::size_t idsPerPanel = model == StreamDatagram::Model::Canvas ? 2 : 1;
    return std::min(panels, pidArrray.size() / idsPerPanel);
}
