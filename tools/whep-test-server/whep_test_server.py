#!/usr/bin/python3
"""A WHEP endpoint for tests: serves generated video (H.264 or VP8) and Opus
audio over webrtcbin to whoever POSTs an SDP offer, on 127.0.0.1 only.

It drops every Nth outgoing RTP video packet itself, after the retransmission
cache (so a NACK can bring it back), and counts what it sent and dropped. It may
also drop video packets at random or in bursts (--loss), every packet for a
while (--outage-at, --outage-for: audio and retransmissions too), and every
retransmission of what --drop-every dropped (--drop-repairs). Every
session's events go to the log file, one line each:
  POST <path> <status>            an offer and what it was answered
  SESSION <id> started
  OFFERED <id> candidates=A,B     the addresses of the offer's ICE candidates
  ANSWERED <id> candidates=A,B    the addresses of the answer's ICE candidates
  STATS <id> video_sent=N video_dropped=N rtx_sent=N frames=N nacks_received=N
        payload_bytes=N at=S    nacks_received: the packets the receiver's NACKs
                                asked for again; payload_bytes: what its RTP
                                sessions sent (before the drops), the payload
                                octets its sender reports count; S: seconds since
                                the session started; once a second, and at
                                once on SIGUSR1
  SR <id> ssrc=N ntp=S octets=N  a sender report it sent: the payload octets
                                sent by then from that SSRC, at S (NTP seconds,
                                the host's wall clock)
        ... audio_sent=N audio_dropped=N video_repaired=N rtx_dropped=N audio_repaired=N
                                after at=: audio packets sent and dropped, the
                                dropped video packets a retransmission of which
                                was sent, retransmissions dropped, and the same
                                of the dropped audio packets
  RTX <id> ssrc=N seq=N osn=N     a retransmission it sent (with --hold-port): its SSRC
                                and sequence number, and its original's sequence number
  GAP <id> gap_us=N key_after_gap_us=N
                                after an outage, as the session ends: from the last video
                                packet sent before it to the first after it, and to the
                                first packet of the first H.264 key frame (IDR or SPS)
                                sent whole after it (-1: none), on the monotonic clock;
                                then cut_to_next=N cut_to_key=N shown_since_key=N
                                next_since_key=N frame_cycle=N period_us=N
                                (whep_video_frames)
  END <id> <reason>               the server stopped sending (RTCP still counted)
  DELETE <path> <status>
With --ice-port P and --hold-port X a relay on 127.0.0.1:X (tools/rtp-relay's
MuxedRtpRelay) is put in the session's path: the server's ICE agent takes port
P alone on 127.0.0.1, ignores the offer's candidates (it learns the player's
address from the checks the relay passes on, as a peer-reflexive candidate),
and answers with the relay's address as its only candidate, so every packet
either way goes through the relay.
The run is bounded: it exits by itself after --lifetime seconds.
"""

import argparse
import ctypes
import http.server
import random
import sys
import threading
import time
import uuid

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstWebRTC", "1.0")
gi.require_version("GstSdp", "1.0")
gi.require_version("GstRtp", "1.0")
from gi.repository import GLib, Gst, GstRtp, GstSdp, GstWebRTC  # noqa: E402
from whep_video_frames import VideoFrames  # noqa: E402

VIDEO_SSRC = 0x11223344
AUDIO_SSRC = 0x55667788


def candidate_addresses(sdp):
    """The addresses of the SDP's ICE candidates, sorted, comma-separated."""
    return ",".join(sorted({line.split()[4] for line in sdp.splitlines() if line.startswith("a=candidate")}))


def without_candidates(sdp):
    """The SDP with no ICE candidate: neither side can reach the other."""
    return "".join(line + "\r\n" for line in sdp.splitlines() if line.strip() and not line.startswith("a=candidate"))


def with_candidate_only(sdp, port):
    """The SDP with one ICE candidate: a host candidate of 127.0.0.1 at port."""
    lines = []
    for line in sdp.splitlines():
        if not line.strip() or line.startswith("a=candidate") or line.startswith("a=end-of-candidates"):
            continue
        lines.append(line)
        if line.startswith("a=ice-pwd"):
            lines.append("a=candidate:1 1 UDP 2130706431 127.0.0.1 %d typ host" % port)
    return "".join(line + "\r\n" for line in lines)


def ice_agent(webrtc):
    """webrtcbin's ICE agent. webrtcbin (1.22) keeps it floating, and PyGObject
    sinks a floating object it wraps as its own: webrtcbin's reference is given
    back, or the wrapper would free the agent under it."""
    agent = webrtc.get_property("ice-agent")
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    gobject = ctypes.CDLL("libgobject-2.0.so.0")
    gobject.g_object_ref.argtypes = [ctypes.c_void_p]
    gobject.g_object_ref(get_pointer(agent.__gpointer__, None))
    return agent


class Log:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", buffering=1) if path else None

    def write(self, line):
        with self.lock:
            if self.file:
                self.file.write(line + "\n")
            print(line, flush=True)


class LossModel:
    """Which video packets are lost: none, each at random with a probability, or
    in bursts (a two-state Gilbert-Elliott chain: the bad state loses every
    packet, the good none; its parameters from the loss rate and mean burst).
    Seeded, so a run loses the same packets as the run before."""

    def __init__(self, args):
        self.kind = args.loss
        self.rate = args.loss_rate
        self.random = random.Random(args.seed)
        self.bad = False
        self.bad_to_good = 1.0 / max(args.burst_mean, 1.0)
        self.good_to_bad = self.rate * self.bad_to_good / (1.0 - self.rate) if self.rate < 1.0 else 1.0

    def drops(self):
        if self.kind == "random":
            return self.random.random() < self.rate
        if self.kind == "burst":
            self.bad = self.random.random() >= self.bad_to_good if self.bad else self.random.random() < self.good_to_bad
            return self.bad
        return False


class Session:
    """One viewer: a pipeline of generated media into its own webrtcbin."""

    def __init__(self, args, log):
        self.args = args
        self.log = log
        self.id = uuid.uuid4().hex[:12]
        self.video_sent = 0
        self.video_dropped = 0
        self.rtx_sent = 0
        self.audio_sent = 0
        self.audio_dropped = 0
        self.rtx_dropped = 0
        # By media: webrtcbin retransmits audio too when a NACK asks for it.
        self.dropped_seqs = {VIDEO_SSRC: set(), AUDIO_SSRC: set()}
        self.every_copy_seqs = set()
        self.repaired_seqs = {VIDEO_SSRC: set(), AUDIO_SSRC: set()}
        self.loss = LossModel(args)
        self.first_packet = None
        self.video = VideoFrames()
        self.frames = 0
        self.payload_bytes = 0
        self.nacked = 0
        self.started = time.monotonic()
        self.counts_lock = threading.Lock()
        self.probed = set()
        self.ended = False
        # webrtcbin (1.22) answers an m-line only with the payload type offered
        # for it: the usual ones of WebRTC clients, H.264 96, VP8 97, Opus 111.
        encoder = {
            "h264": "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=%d bitrate=%d "
                    "! video/x-h264,profile=constrained-baseline "
                    "! rtph264pay config-interval=-1 aggregate-mode=zero-latency pt=96"
                    % (args.fps * 2, args.bitrate),
            "vp8": "vp8enc deadline=1 keyframe-max-dist=%d target-bitrate=%d ! rtpvp8pay pt=97"
                   % (args.fps * 2, args.bitrate * 1000),
        }[args.codec]
        description = (
            "webrtcbin name=webrtc bundle-policy=max-bundle "
            "videotestsrc is-live=true pattern=ball "
            "! video/x-raw,format=I420,width=320,height=240,framerate=%d/1 ! identity name=frames "
            "! %s ssrc=%d ! queue ! webrtc. "
            "audiotestsrc is-live=true wave=sine ! audioconvert ! audioresample "
            "! opusenc ! rtpopuspay ssrc=%d pt=111 ! queue ! webrtc. "
        ) % (args.fps, encoder, VIDEO_SSRC, AUDIO_SSRC)
        self.pipeline = Gst.parse_launch(description)
        self.webrtc = self.pipeline.get_by_name("webrtc")
        self.pipeline.get_by_name("frames").connect("handoff", self.on_frame)
        self.pipeline.get_by_name("frames").set_property("signal-handoffs", True)
        # The first sender reports go out as soon as the media flows into the
        # RTP session, before the session is answered: the RTCP probes go on
        # each session as it is made, so that every report sent is logged.
        self.rtcp_hooked = set()
        self.pipeline.connect("deep-element-added", self.on_element_added)
        bus = self.pipeline.get_bus()
        bus.add_signal_watch()
        bus.connect("message::error", self.on_error)

    def on_error(self, _bus, message):
        error, _ = message.parse_error()
        self.log.write("ERROR %s %s" % (self.id, error.message))

    def on_frame(self, *_):
        with self.counts_lock:
            self.frames += 1

    def answer(self, offer_text):
        """Takes an offer, returns the answer's SDP with every candidate in it."""
        # The answer is made from the caps on webrtcbin's inputs: they must be there first.
        self.pipeline.set_state(Gst.State.PLAYING)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not all(pad.has_current_caps() for pad in self.webrtc.sinkpads):
            time.sleep(0.02)
        self.log.write("OFFERED %s candidates=%s" % (self.id, candidate_addresses(offer_text)))
        if self.args.no_candidates or self.args.hold_port:
            offer_text = without_candidates(offer_text)
        if self.args.ice_port:
            agent = ice_agent(self.webrtc)
            agent.set_property("min-rtp-port", self.args.ice_port)
            agent.set_property("max-rtp-port", self.args.ice_port)
        if self.args.loopback_only or self.args.ice_port:
            # Naming an address ends the ICE agent's own discovery: 127.0.0.1 is then its only host candidate.
            ice_agent(self.webrtc).emit("add-local-ip-address", "127.0.0.1")
        _, sdp = GstSdp.SDPMessage.new_from_text(offer_text)
        offer = GstWebRTC.WebRTCSessionDescription.new(GstWebRTC.WebRTCSDPType.OFFER, sdp)
        promise = Gst.Promise.new()
        self.webrtc.emit("set-remote-description", offer, promise)
        promise.wait()
        # The transceivers exist now: retransmission where asked for.
        index = 0
        while True:
            transceiver = self.webrtc.emit("get-transceiver", index)
            if transceiver is None:
                break
            transceiver.set_property("do-nack", self.args.rtx)
            index += 1
        gathered = threading.Event()

        def on_gathering(element, _param):
            if element.get_property("ice-gathering-state") == GstWebRTC.WebRTCICEGatheringState.COMPLETE:
                gathered.set()

        self.webrtc.connect("notify::ice-gathering-state", on_gathering)
        promise = Gst.Promise.new()
        self.webrtc.emit("create-answer", None, promise)
        promise.wait()
        reply = promise.get_reply()
        if reply.has_field("error"):
            raise RuntimeError(reply.get_value("error").message)
        answer = reply.get_value("answer")
        promise = Gst.Promise.new()
        self.webrtc.emit("set-local-description", answer, promise)
        promise.wait()
        if self.webrtc.get_property("ice-gathering-state") != GstWebRTC.WebRTCICEGatheringState.COMPLETE:
            gathered.wait(10)
        self.hook_drops()
        self.log.write("SESSION %s started" % self.id)
        answer_text = self.webrtc.get_property("local-description").sdp.as_text()
        self.log.write("ANSWERED %s candidates=%s" % (self.id, candidate_addresses(answer_text)))
        return answer_text

    def elements(self, factory):
        """The elements inside webrtcbin made by factory."""
        found = []
        it = self.webrtc.iterate_recurse()
        while True:
            result, element = it.next()
            if result != Gst.IteratorResult.OK:
                return found
            if element.get_factory() and element.get_factory().get_name() == factory:
                found.append(element)

    def hook_drops(self):
        """Probes what rtpbin sends out: behind the RTX sender, before DTLS/SRTP.
        (Each RTP session's RTCP is probed as the session is made.)"""
        for element in self.elements("rtpbin"):
            element.connect("pad-added", lambda _e, pad: self.probe(pad))
            for pad in element.srcpads:
                self.probe(pad)

    def on_element_added(self, _bin, _sub_bin, element):
        if element.get_factory() and element.get_factory().get_name() == "rtpsession":
            element.connect("pad-added", lambda _e, pad: self.hook_rtcp(pad))
            for pad in element.pads:
                self.hook_rtcp(pad)

    def hook_rtcp(self, pad):
        """The RTCP a session sends out and takes in; once per pad."""
        probes = {"recv_rtcp_sink": self.on_rtcp, "send_rtcp_src": self.on_sent_rtcp}
        name = pad.get_name()
        with self.counts_lock:
            if name not in probes or pad in self.rtcp_hooked:
                return
            self.rtcp_hooked.add(pad)
        pad.add_probe(Gst.PadProbeType.BUFFER, probes[name])

    def on_sent_rtcp(self, _pad, info):
        """Logs the sender reports going out (RFC 3550: SSRC, NTP time, RTP
        time, packet count, octet count), before encryption."""
        data = info.get_buffer().extract_dup(0, info.get_buffer().get_size())
        offset = 0
        while offset + 28 <= len(data):
            packet_type = data[offset + 1]
            length = (int.from_bytes(data[offset + 2:offset + 4], "big") + 1) * 4
            if packet_type == 200:
                ssrc = int.from_bytes(data[offset + 4:offset + 8], "big")
                ntp = int.from_bytes(data[offset + 8:offset + 12], "big") + \
                    int.from_bytes(data[offset + 12:offset + 16], "big") / 2.0 ** 32
                octets = int.from_bytes(data[offset + 24:offset + 28], "big")
                self.log.write("SR %s ssrc=%d ntp=%.6f octets=%d" % (self.id, ssrc, ntp, octets))
            offset += length
        return Gst.PadProbeReturn.OK

    def on_rtcp(self, _pad, info):
        """Counts the packets each NACK asks for again (RFC 4585: a PID and a
        bitmask of the 16 after it, per FCI entry of a generic NACK)."""
        data = info.get_buffer().extract_dup(0, info.get_buffer().get_size())
        asked = 0
        offset = 0
        while offset + 4 <= len(data):
            fmt = data[offset] & 0x1F
            packet_type = data[offset + 1]
            length = (int.from_bytes(data[offset + 2:offset + 4], "big") + 1) * 4
            if packet_type == 205 and fmt == 1:
                for fci in range(offset + 12, min(offset + length, len(data)) - 3, 4):
                    asked += 1 + bin(int.from_bytes(data[fci + 2:fci + 4], "big")).count("1")
            offset += length
        with self.counts_lock:
            self.nacked += asked
        return Gst.PadProbeReturn.OK

    def probe(self, pad):
        if not pad.get_name().startswith("send_rtp_src") or pad.get_name() in self.probed:
            return
        self.probed.add(pad.get_name())
        pad.add_probe(Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST, self.on_rtp)

    def keep(self, buffer):
        """Counts one outgoing RTP packet; False when it is to be dropped."""
        ok, rtp = GstRtp.RTPBuffer.map(buffer, Gst.MapFlags.READ)
        if not ok:
            return True
        ssrc = rtp.get_ssrc()
        payload = rtp.get_payload_len()
        seq = rtp.get_seq()
        timestamp = rtp.get_timestamp()
        head = bytes(rtp.get_payload().get_data()[:64]) if ssrc == VIDEO_SSRC else b""
        # A retransmission's payload begins with the original's sequence number (RFC 4588).
        original = int.from_bytes(rtp.get_payload().get_data()[:2], "big") if ssrc not in (VIDEO_SSRC, AUDIO_SSRC) else None
        rtp.unmap()
        now = time.monotonic()
        with self.counts_lock:
            self.payload_bytes += payload
            if self.first_packet is None:
                self.first_packet = now
            since = now - self.first_packet
            out = self.args.outage_for > 0 and self.args.outage_at <= since < self.args.outage_at + self.args.outage_for
            if ssrc == VIDEO_SSRC:
                self.video_sent += 1
                every = self.args.drop_every > 0 and self.video_sent % self.args.drop_every == 0
                drop = every or out or self.loss.drops()
                self.video.follow(now, timestamp, seq, head, drop, out)
                if drop:
                    self.video_dropped += 1
                    self.dropped_seqs[VIDEO_SSRC].add(seq)
                    if every and self.args.drop_repairs:
                        self.every_copy_seqs.add(seq)
                    return False
            elif ssrc == AUDIO_SSRC:
                self.audio_sent += 1
                if out:
                    self.audio_dropped += 1
                    self.dropped_seqs[AUDIO_SSRC].add(seq)
                    return False
            else:
                if out or original in self.every_copy_seqs:
                    self.rtx_dropped += 1
                    return False
                self.rtx_sent += 1
                if self.args.hold_port:
                    self.log.write("RTX %s ssrc=%d seq=%d osn=%d" % (self.id, ssrc, seq, original))
                # Which stream a retransmission repairs: the one that lost its original
                # (the two streams' sequence numbers start far apart at random).
                for media in (VIDEO_SSRC, AUDIO_SSRC):
                    if original in self.dropped_seqs[media]:
                        self.repaired_seqs[media].add(original)
                        if media == VIDEO_SSRC:
                            self.video.repaired(original)
                        break
        return True

    def gap_line(self):
        with self.counts_lock:
            return self.video.gap_line(self.id)

    def on_rtp(self, pad, info):
        if self.ended:
            return Gst.PadProbeReturn.DROP
        if info.type & Gst.PadProbeType.BUFFER:
            return Gst.PadProbeReturn.OK if self.keep(info.get_buffer()) else Gst.PadProbeReturn.DROP
        # A list cannot be changed here: its packets go on one by one, past this probe.
        packets = info.get_buffer_list()
        peer = pad.get_peer()
        for i in range(packets.length()):
            buffer = packets.get(i)
            if self.keep(buffer) and peer is not None:
                peer.chain(buffer)
        return Gst.PadProbeReturn.DROP

    def stats_line(self):
        with self.counts_lock:
            return ("STATS %s video_sent=%d video_dropped=%d rtx_sent=%d frames=%d nacks_received=%d "
                    "payload_bytes=%d at=%.3f audio_sent=%d audio_dropped=%d video_repaired=%d rtx_dropped=%d "
                    "audio_repaired=%d" % (
                        self.id, self.video_sent, self.video_dropped, self.rtx_sent, self.frames, self.nacked,
                        self.payload_bytes, time.monotonic() - self.started, self.audio_sent, self.audio_dropped,
                        len(self.repaired_seqs[VIDEO_SSRC]), self.rtx_dropped, len(self.repaired_seqs[AUDIO_SSRC])))

    def end(self, reason):
        """Stops sending media. RTCP still comes in until close(), so the NACKs
        the receiver sends after the end are counted too."""
        if self.ended:
            return
        self.ended = True
        self.log.write(self.stats_line())
        gap = self.gap_line()
        if gap:
            self.log.write(gap)
        self.log.write("END %s %s" % (self.id, reason))

    def close(self, reason):
        self.end(reason)
        self.log.write(self.stats_line())
        self.pipeline.set_state(Gst.State.NULL)


class Server:
    def __init__(self, args):
        self.args = args
        self.log = Log(args.log)
        self.sessions = {}
        self.lock = threading.Lock()

    def handler(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *_):
                pass

            def reply(self, status, body=b"", headers=()):
                self.send_response(status)
                for name, value in headers:
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                offer = self.rfile.read(length).decode()
                status = server.post_status(self.path, self.headers.get("Authorization", ""))
                if status != 201:
                    server.log.write("POST %s %d" % (self.path, status))
                    body = {401: "Unauthorized: a valid bearer token is needed\nsee the docs\n",
                            404: "No such stream: %s\n" % self.path}.get(status, "Server error\n")
                    self.reply(status, body.encode(), [("Content-Type", "text/plain")])
                    return
                session = Session(server.args, server.log)
                with server.lock:
                    server.sessions[session.id] = session
                try:
                    answer = session.answer(offer)
                except Exception as error:  # the test reads why in the log
                    server.log.write("POST %s 500 %r" % (self.path, error))
                    self.reply(500, b"Cannot answer the offer\n")
                    return
                server.log.write("POST %s 201" % self.path)
                if server.args.no_candidates:
                    answer = without_candidates(answer)
                elif server.args.hold_port:
                    answer = with_candidate_only(answer, server.args.hold_port)
                location = "/session/" + session.id
                self.reply(201, answer.encode(), [("Content-Type", "application/sdp"), ("Location", location)])
                if server.args.end_after > 0:
                    threading.Timer(server.args.end_after, session.end, ["ended by the server"]).start()

            def do_DELETE(self):
                session_id = self.path.rsplit("/", 1)[-1]
                with server.lock:
                    session = server.sessions.pop(session_id, None)
                if session is None:
                    server.log.write("DELETE %s 404" % self.path)
                    self.reply(404)
                    return
                session.close("deleted by the client")
                server.log.write("DELETE %s 200" % self.path)
                self.reply(200)

            def do_PATCH(self):
                self.reply(405)

        return Handler

    def post_status(self, path, authorization):
        if self.args.status:
            return self.args.status
        if self.args.token and authorization != "Bearer " + self.args.token:
            return 401
        if path != self.args.path:
            return 404
        return 201

    def stats(self):
        with self.lock:
            for session in self.sessions.values():
                if not session.ended:
                    self.log.write(session.stats_line())
        return True


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--path", default="/whep/test", help="the endpoint's path")
    parser.add_argument("--codec", choices=["h264", "vp8"], default="h264")
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--bitrate", type=int, default=600, help="video kbit/s")
    parser.add_argument("--drop-every", type=int, default=0, help="drop every Nth outgoing video packet")
    parser.add_argument("--rtx", action="store_true", help="offer NACK and retransmission")
    parser.add_argument("--drop-repairs", action="store_true",
                        help="drop every retransmission of what --drop-every dropped too")
    parser.add_argument("--loss", choices=["none", "random", "burst"], default="none",
                        help="drop video packets at random, or in bursts")
    parser.add_argument("--loss-rate", type=float, default=0.0, help="the share of video packets --loss drops")
    parser.add_argument("--burst-mean", type=float, default=5.0, help="burst loss: mean packets per burst")
    parser.add_argument("--seed", type=int, default=1, help="the loss model's seed")
    parser.add_argument("--outage-at", type=float, default=0.0,
                        help="seconds after the first packet when every packet starts being dropped")
    parser.add_argument("--outage-for", type=float, default=0.0, help="how long the outage lasts (0: none)")
    parser.add_argument("--token", default="", help="require this bearer token")
    parser.add_argument("--status", type=int, default=0, help="answer every POST with this status")
    parser.add_argument("--no-candidates", action="store_true", help="ignore the offer's ICE candidates and answer without any")
    parser.add_argument("--loopback-only", action="store_true",
                        help="gather and answer with the 127.0.0.1 host candidate alone")
    parser.add_argument("--ice-port", type=int, default=0, help="the only UDP port of the ICE agent, on 127.0.0.1")
    parser.add_argument("--hold-port", type=int, default=0,
                        help="answer with 127.0.0.1 at this port (a relay's) as the only candidate")
    parser.add_argument("--end-after", type=float, default=0, help="stop each session after S seconds")
    parser.add_argument("--lifetime", type=float, default=60, help="exit after S seconds")
    parser.add_argument("--log", default="", help="the session log")
    args = parser.parse_args()

    Gst.init(None)
    server = Server(args)
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), server.handler())
    httpd.daemon_threads = True
    print("listening %d" % httpd.server_address[1], flush=True)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    loop = GLib.MainLoop()
    GLib.timeout_add_seconds(1, server.stats)
    GLib.timeout_add(int(args.lifetime * 1000), loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 10, server.stats)
    loop.run()
    httpd.shutdown()
    with server.lock:
        for session in server.sessions.values():
            session.close("server stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
