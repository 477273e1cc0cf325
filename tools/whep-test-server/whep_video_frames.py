"""The video frames a WHEP session sends, followed as a relay would: each
frame's first packet time, whether it is a key frame, which of its packets
were dropped and which of those a retransmission repaired; the outage's gap in
the video, and what says where the decoder puts the frames after it.

The caller serialises (the session's counts lock)."""

VIDEO_CLOCK_RATE = 90000  # H.264's RTP clock


def _bits(data):
    """The bits of an H.264 NAL unit's payload, emulation prevention bytes removed."""
    zeros = 0
    for byte in data:
        if zeros >= 2 and byte == 3:
            zeros = 0
            continue
        zeros = zeros + 1 if byte == 0 else 0
        for shift in range(7, -1, -1):
            yield (byte >> shift) & 1


def _golomb(bits):
    """One unsigned Exp-Golomb number."""
    leading = 0
    while next(bits) == 0:
        leading += 1
    value = 0
    for _ in range(leading):
        value = value << 1 | next(bits)
    return (1 << leading) - 1 + value


def frame_number_cycle(sps):
    """From a sequence parameter set (NAL header byte first): after how many
    frames its frame numbers wrap where the pictures' order follows them (order
    type 2), or None where it does not or the set is not read here."""
    if len(sps) < 5 or sps[1] not in (66, 77, 88):  # the profiles without chroma fields
        return None
    try:
        bits = _bits(sps[4:])
        _golomb(bits)  # seq_parameter_set_id
        cycle = 1 << (_golomb(bits) + 4)
        return cycle if _golomb(bits) == 2 else None
    except StopIteration:
        return None


class VideoFrames:
    def __init__(self):
        self.frames = []  # [first packet's time, key frame, lost a packet, sequence numbers still missing]
        self.timestamp = None
        self.timestamps = []  # the first frame's RTP timestamp, and the last's, unwrapped

        self.missing = {}  # a dropped sequence number -> its frame
        self.last_sent = None
        self.swallowed_since_sent = False
        self.gap = None  # (last video packet sent before the outage, first after)
        self.frame_cycle = None

    def follow(self, now, timestamp, seq, payload, dropped, swallowed):
        """One video packet (its RTP payload's first bytes), sent on or dropped."""
        if timestamp != self.timestamp or not self.frames:
            self.frames.append([now, False, False, set()])
            if not self.timestamps:
                self.timestamps = [timestamp, timestamp]
            else:
                self.timestamps[1] += (timestamp - self.timestamp) % (1 << 32)
            self.timestamp = timestamp
        frame = self.frames[-1]
        if dropped:
            frame[2] = True
            frame[3].add(seq)
            self.missing[seq] = frame
        self.read_nal_units(frame, payload)
        self.swallowed_since_sent = self.swallowed_since_sent or swallowed
        if not dropped:
            if self.swallowed_since_sent and self.last_sent is not None:
                self.gap = (self.last_sent, now)
            self.swallowed_since_sent = False
            self.last_sent = now

    def read_nal_units(self, frame, payload):
        # A key frame's NAL unit (IDR 5, SPS 7): alone, first in a STAP-A (24), or an FU-A's (28) start.
        if not payload:
            return
        kind = payload[0] & 0x1F
        nal = payload
        if kind == 24 and len(payload) > 3:
            kind = payload[3] & 0x1F
            nal = payload[3:3 + int.from_bytes(payload[1:3], "big")]
        if kind in (5, 7):
            frame[1] = True
        elif kind == 28 and len(payload) > 1 and payload[1] & 0x80 and (payload[1] & 0x1F) in (5, 7):
            frame[1] = True
        if kind == 7 and self.frame_cycle is None:
            self.frame_cycle = frame_number_cycle(nal)

    def repaired(self, seq):
        """A retransmission of a dropped packet was sent on."""
        frame = self.missing.pop(seq, None)
        if frame is not None:
            frame[3].discard(seq)

    def gap_line(self, session):
        if self.gap is None:
            return None
        since, until = self.gap
        keys = [f[0] for f in self.frames if f[1] and not f[2] and f[0] >= until]
        after = round((keys[0] - since) * 1e6) if keys else -1
        line = "GAP %s gap_us=%d key_after_gap_us=%d" % (session, round((until - since) * 1e6), after)
        return line + self.frames_about_gap()

    def frames_about_gap(self):
        """From the first frame the outage hit: how many frames to the first that
        reached the player whole (repairs included) and to the first whole key
        frame after the gap; how many frames each of the last whole frame before
        the cut and that first whole one came after a key frame; after how many
        frames the frame numbers wrap; the frames' mean spacing by their timestamps."""
        since, until = self.gap
        cut = nxt = key = None
        shown_since_key = next_since_key = since_key = -1
        for index, (first, is_key, hit, missing) in enumerate(self.frames):
            since_key = 0 if is_key else (since_key + 1 if since_key >= 0 else -1)
            if cut is None and first <= since and not hit:
                shown_since_key = since_key
            elif cut is None and hit and first <= until:
                cut = index
            elif cut is not None and nxt is None and not missing:
                nxt, next_since_key = index, since_key
            if cut is not None and key is None and first >= until and is_key and not hit:
                key = index
        if cut is None or nxt is None or len(self.frames) < 2:
            return ""
        period = (self.timestamps[1] - self.timestamps[0]) / VIDEO_CLOCK_RATE / (len(self.frames) - 1)
        return (" cut_to_next=%d cut_to_key=%d shown_since_key=%d next_since_key=%d frame_cycle=%d period_us=%d" % (
            nxt - cut, -1 if key is None else key - cut, shown_since_key, next_since_key,
            -1 if self.frame_cycle is None else self.frame_cycle, round(period * 1e6)))
