#pragma once

// What one WHEP source element keeps while it lives: touched by the element's
// state changes (the thread changing states), its negotiation worker and
// webrtcbin's streaming threads. Plain data; WhepSession and WhepStreams act on it.

#include "WhepSource.h"

#include <gio/gio.h>
#include <gst/gst.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zephyrscope {

struct WhepState {
    GstElement* self = nullptr; // the source element, which owns this

    std::mutex mutex; // guards what follows, up to the atomics
    std::condition_variable changed;
    std::string uri;
    bool stopping = false;
    bool gathered = false;
    bool offered = false;     // the offer went, with the candidates gathered by then
    bool answered = false;    // the endpoint's answer was taken
    std::string ice = "new"; // webrtcbin's ICE connection state, by its nick
    std::string sessionUrl;
    int expectedStreams = 0;
    // The streams' ghost pads, added together once every stream has come (or a
    // while after the first): playbin3 selects from the streams it has seen, and
    // a video stream coming after the audio would play unannounced.
    std::vector<GstPad*> pendingPads;
    int arrivedStreams = 0;
    std::set<std::string> wiredMedia; // the streams wired, by their caps' media ("video", "audio")
    std::int64_t firstPadUs = 0;
    bool exposed = false;

    WhepSource::Settings settings;
    GstElement* webrtc = nullptr; // owned by the bin
    bool transceiversAdded = false;
    GCancellable* cancellable = nullptr;
    std::thread worker;

    std::atomic<bool> flowing {false};       // the pads are out: data may go through
    std::atomic<bool> videoAnswered {false}; // the answer sends a video stream
    std::atomic<std::int64_t> lastDataUs {0};
    std::atomic<std::uint64_t> rtpBytes {0};
};

} // namespace zephyrscope
