#pragma once

// Counts the SRT packets a caller never delivered (dropped as too late by the
// SRT receiver), for the lost-packet figure. In GStreamer 1.22 srtsrc's `stats`
// has no such counter (no pktRcvDrop): it holds packets-received (every data
// packet that arrived, retransmissions included) and packets-received-lost
// (every sequence gap detected, whether retransmission filled it later or
// not). srtsrc does see each gap in the sequence numbers of what it delivers,
// but says so only in a debug warning, "discont detected <seq> (expected:
// <seq>)". This watches that warning for the srtsrc elements it is given and
// adds each gap's size to their StreamCounters. The packets a connection lost
// before its first delivered one make no gap there; they come from the message
// number srtsrc logs with each packet it reads (see Watch).
// Upstream fix: e7ae5f0995 adds packets-received-dropped to srtsrc's stats (1.24.0).
//
// To see those lines, srtsrc's debug category is raised to LOG if it was
// below (a packet's lines are only formatted while its connection's first
// packet is awaited), and GStreamer's default log output is replaced by one
// that still prints everything the user's debug settings asked for, and
// nothing more.
// Private to player/. Thread: watch() on any thread; the log hook runs on
// srtsrc's streaming thread, keeps that element's own state and adds to the
// atomic counters.

#include "StreamCounters.h"

#include <memory>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class SrtDeliveryGaps {
public:
    static void watch(GstElement* srtsrc, const std::shared_ptr<StreamCounters>& counters);
};

} // namespace zephyrscope
