#include "DownloadGuard.h"
#include "DownloadRefusals.h"

#include <gtest/gtest.h>

using namespace zephyrscope;

TEST(DownloadGuard, NamesLocalFilesInAManifestAndARedirectLoop)
{
    EXPECT_EQ(DownloadGuard::localFileIn("#EXTM3U\n#EXTINF:2,\nFILE:///etc/passwd\n"),
              "a remote manifest may not name local files ('FILE:///etc/passwd')");
    EXPECT_EQ(DownloadGuard::localFileIn("<MPD><BaseURL>file:/var/x/</BaseURL></MPD>"),
              "a remote manifest may not name local files ('file:/var/x/')");
    EXPECT_EQ(DownloadGuard::localFileIn("#EXTM3U\nhttp://h/profile:file:x/seg.ts\nseg-file:1.ts\n"), "");

    EXPECT_EQ(DownloadGuard::redirectLoop("gstsouphttpsrc.c(1690): gst_soup_http_src_parse_status ():\n"
                                          "Found (302), URL: http://h/loop, Redirect to: http://h/loop"),
              "redirect loop: the server kept redirecting (Found (302), last to 'http://h/loop')");
    EXPECT_FALSE(DownloadGuard::redirectLoop("Not Found (404), URL: http://h/x, Redirect to: (NULL)"));
    EXPECT_FALSE(DownloadGuard::redirectLoop(nullptr));
}

TEST(DownloadRefusals, TakesLibsoupsRefusalOfANonHttpUriAloneAndCountsEachRefusal)
{
    EXPECT_TRUE(DownloadRefusals::isLocalUriRefusal(
        "libsoup", "soup_message_new_from_uri: assertion 'SOUP_URI_IS_VALID (uri)' failed"));
    EXPECT_FALSE(DownloadRefusals::isLocalUriRefusal("GStreamer", "assertion 'SOUP_URI_IS_VALID (uri)' failed"));
    EXPECT_FALSE(DownloadRefusals::isLocalUriRefusal("libsoup", "soup_session_send: assertion 'SOUP_IS_SESSION' failed"));
    EXPECT_FALSE(DownloadRefusals::isLocalUriRefusal("libsoup", nullptr));

    const std::uint64_t before = DownloadRefusals::count();
    DownloadRefusals::refuse(DownloadRefusals::compressedReason("http://h/v.m3u8", "gzip"));
    EXPECT_EQ(DownloadRefusals::count(), before + 1);
    EXPECT_EQ(DownloadRefusals::last(), "'http://h/v.m3u8' came compressed (gzip) though none was asked for: not inflated");
}
