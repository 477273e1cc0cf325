#pragma once

// What a process-wide hook heard while one entry listened. GLib's log handlers
// and libsoup's emission hooks hear every pipeline's messages without knowing
// whose they are, so each entry keeps a tally of its own: it counts what was
// heard from the entry's start until its pipeline was released, never what came
// before (the previous entry's) or after (a pipeline the reaper left behind, or
// the next entry's). Private to player/.
//
// Thread: a channel hears on any thread (the hooks run on streaming and
// download threads); a tally is made, read and stopped on its owner's.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zephyrscope {

class EventTally {
public:
    // One kind of event (descriptor shortages, refused downloads) and the
    // tallies listening to it.
    class Channel {
    public:
        // Counts the event in every tally listening now; what says what it was.
        void hear(const std::string& what);

    private:
        friend class EventTally;
        std::mutex m_mutex; // guards the list and the tallies' figures
        std::vector<EventTally*> m_listening;
    };

    // Listens to channel from now until stop() or its end. The channel must outlive it.
    explicit EventTally(Channel& channel);
    ~EventTally();
    EventTally(const EventTally&) = delete;
    EventTally& operator=(const EventTally&) = delete;

    // Hears nothing more; what it heard stays. Idempotent.
    void stop();
    // Events heard.
    std::uint64_t count() const;
    // What the first event heard said; empty before one.
    std::string first() const;

private:
    Channel& m_channel;
    std::uint64_t m_count = 0;
    std::string m_first;
};

} // namespace zephyrscope
