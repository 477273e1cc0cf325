#pragma once

// What one entry heard outside its own elements that says why it fails better
// than they do: file descriptors that ran out (DescriptorLimit) and downloads
// an adaptive demuxer made itself and was refused (DownloadRefusals). Each is
// heard process-wide; this tallies those heard from its making until stop()
// (see EventTally). Private to player/.
//
// Thread: the main loop's, as for the entry playback that owns it.

#include "EventTally.h"

#include <optional>
#include <string>

namespace zephyrscope {

class EntryFailureCauses {
public:
    EntryFailureCauses();

    // Has the process-wide hooks listen (idempotent), and says why the entry
    // cannot start when fewer than headroom descriptors are free; nothing when it can.
    static std::optional<std::string> watch(int headroom);

    // Whether a cause was heard: the entry fails for it now.
    bool heard() const { return m_shortages.count() > 0 || m_refusals.count() > 0; }
    // The reason the entry fails with: descriptors that ran out (heard, or short
    // now), else the first refused download, else what its elements said.
    std::string reason(const std::string& elementsReason) const;
    // Hears nothing more: what comes after is not the entry's. Idempotent.
    void stop();

private:
    EventTally m_shortages;
    EventTally m_refusals;
};

} // namespace zephyrscope
