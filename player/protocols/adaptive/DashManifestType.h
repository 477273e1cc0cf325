#pragma once

// An MPD fetched over HTTP played as DASH where type finding misses it.
// GStreamer 1.22.0's MPD type finder looks for the end of the root's start tag
// within the first 512 bytes of a stream of unknown length, which is what
// type finding over HTTP always is: ffmpeg's live MPD (type="dynamic", its
// clock attributes) ends that tag near byte 630, so it was typed as plain
// application/xml, and nothing plays XML. Two things say what it is:
//   - its root element: a type finder of our own reads the root element's
//     name from as much of the stream as there is;
//   - the server's Content-Type, application/dash+xml: the HTTP source's
//     response headers, which reach urisourcebin's typefind element before
//     the body, set its force-caps.
// Upstream fix (the first): 6846810f50 "typefindfunctions: Increase xml typefinder
// closing brace limit" (1.24.0), backported as 476a8aca78 in 1.22.2.
// Thread: the streaming threads that type find.

typedef struct _GstElement GstElement;

namespace zephyrscope {

class DashManifestType {
public:
    // Makes the type finder known to GStreamer in this process (once; any thread).
    static void registerTypeFinder();
    // At playbin3's element-setup: when element is the typefind element of one
    // of urisourcebin's sources, watches it for the server's Content-Type and
    // says true; false for any other element.
    static bool watchTypeFind(GstElement* element);
};

} // namespace zephyrscope
