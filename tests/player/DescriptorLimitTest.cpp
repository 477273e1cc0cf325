#include "DescriptorLimit.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace zephyrscope;

TEST(DescriptorLimit, TellsWhatAShortageLeavesBehindFromOtherMessages)
{
    EXPECT_TRUE(DescriptorLimit::isShortageMessage("GStreamer", "gst_poll_write_control: assertion 'set != NULL' failed"));
    EXPECT_TRUE(DescriptorLimit::isShortageMessage(
        "GLib-GIO", (std::string("Error creating socket: ") + std::strerror(EMFILE)).c_str()));
    EXPECT_FALSE(DescriptorLimit::isShortageMessage("GStreamer", "gst_pad_push: assertion 'GST_IS_PAD (pad)' failed"));
    EXPECT_FALSE(DescriptorLimit::isShortageMessage("GLib", "gst_poll_write_control: assertion 'set != NULL' failed"));
    EXPECT_FALSE(DescriptorLimit::isShortageMessage("GStreamer", nullptr));
}

// The open-file limit lowered a little above what is open now, and the rest
// taken: a bus made then gets no poll set, and each use of it logs a critical.
// Each is counted as a shortage and none reaches stderr; the headroom check
// names the limit.
TEST(DescriptorLimit, ABusMadeWithNoDescriptorLeftIsCountedAndNamesTheLimit)
{
    gst_init(nullptr, nullptr);
    DescriptorLimit::watch();
    EventTally heard(DescriptorLimit::shortages());
    rlimit previous {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &previous), 0);
    ::testing::internal::CaptureStderr();
    rlimit low = previous;
    low.rlim_cur = static_cast<rlim_t>(DescriptorLimit::openCount() + 8);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0; fd = open("/dev/null", O_RDONLY | O_CLOEXEC))
        taken.push_back(fd);
    const int why = errno;
    const std::optional<std::string> reason = DescriptorLimit::shortOf(1);
    GstBus* bus = gst_bus_new();
    gst_bus_post(bus, gst_message_new_eos(nullptr));
    GstMessage* message = gst_bus_pop(bus);
    for (int fd : taken)
        close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &previous), 0);
    EXPECT_EQ(why, EMFILE);
    if (message)
        gst_message_unref(message);
    gst_object_unref(bus);
    const std::string printed = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(reason, "file descriptors ran out (limit " + std::to_string(low.rlim_cur) + ")");
    EXPECT_GT(heard.count(), 0u);
    EXPECT_EQ(printed.find("CRITICAL"), std::string::npos) << printed;
    EXPECT_FALSE(DescriptorLimit::shortOf(1));
}
