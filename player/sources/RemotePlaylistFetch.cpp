#include "RemotePlaylistFetch.h"

#include "BusMessages.h"
#include "ConnectionProbe.h"
#include "DescriptorLimit.h"
#include "DownloadGuard.h"
#include "GstHandles.h"
#include "MediaUrl.h"
#include "TlsTrust.h"

#include <glib/gstdio.h>
#include <unistd.h>

namespace zephyrscope {

using namespace gsthandles;

namespace {
constexpr guint kFetchTimeoutS = 15; // a playlist is small; a server that says nothing for this long is gone
// Hours of two-second segments fit in a few MiB; a gzip bomb is stopped here.
constexpr std::uint64_t kMaxPlaylistBytes = 16 << 20;
// Descriptors the download takes at the least (its bus, socket, TLS, temporary file).
constexpr int kFetchDescriptors = 8;
}

struct RemotePlaylistFetch::Impl {
    std::string url;
    std::string caFile;
    Done done;
    std::string path;
    PipelinePtr pipeline;
    SourcePtr busWatch;
    SourcePtr timeout;
    bool finished = false;
    std::string pendingError;
    // Finds the reason behind a bare flow error (a refused certificate, a refused port).
    std::unique_ptr<ConnectionProbe> probe;

    void finish(std::string error)
    {
        if (finished)
            return;
        finished = true;
        busWatch.reset();
        timeout.reset();
        pipeline.reset();
        if (!error.empty())
            g_unlink(path.c_str());
        // Braces evaluate in order: the path is chosen before the error moves.
        Result result {error.empty() ? path : std::string(), std::move(error)};
        path.clear();
        // The callback may destroy this fetch: nothing touches the object after it.
        Done callback = std::move(done);
        callback(std::move(result));
    }

    static gboolean onBusMessage(GstBus*, GstMessage* message, gpointer data)
    {
        // The result handler runs from here.
        gboolean keep = G_SOURCE_REMOVE;
        guarded("finish playlist download", [&] { keep = static_cast<Impl*>(data)->handle(message); });
        return keep;
    }

    gboolean handle(GstMessage* message)
    {
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
            finish({});
            return G_SOURCE_REMOVE;
        case GST_MESSAGE_ERROR: {
            GError* raw = nullptr;
            gchar* debug = nullptr;
            gst_message_parse_error(message, &raw, &debug);
            ErrorPtr error(raw);
            const CharPtr details(debug);
            std::string reason = error ? error->message : "download failed";
            if (auto loop = DownloadGuard::redirectLoop(details.get()))
                reason = std::move(*loop);
            // The same rule as for an entry's source: a vague failure is probed.
            else if (BusMessages::vague(error.get()) && ConnectionProbe::appliesTo(MediaUrl::scheme(url))) {
                busWatch.reset();
                pipeline.reset();
                probe = std::make_unique<ConnectionProbe>(url, caFile, [this, reason](std::optional<std::string> why) {
                    finish(why ? *why : reason);
                });
                return G_SOURCE_REMOVE;
            }
            finish(reason);
            return G_SOURCE_REMOVE;
        }
        default:
            return G_SOURCE_CONTINUE;
        }
    }

    // Reports a failure found inside start() from the main loop, like every other outcome.
    void failLater(std::string reason)
    {
        pendingError = std::move(reason);
        timeout = attach(
            g_timeout_source_new(0),
            [](gpointer data) -> gboolean {
                auto* self = static_cast<Impl*>(data);
                guarded("finish playlist download", [&] { self->finish(self->pendingError); });
                return G_SOURCE_REMOVE;
            },
            this);
    }

    static gboolean onTimeout(gpointer data)
    {
        guarded("finish playlist download", [&] { static_cast<Impl*>(data)->finish("timed out"); });
        return G_SOURCE_REMOVE;
    }
};

RemotePlaylistFetch::RemotePlaylistFetch(std::string url, std::string caFile, Done done)
    : m_impl(std::make_unique<Impl>())
{
    m_impl->url = std::move(url);
    m_impl->caFile = std::move(caFile);
    m_impl->done = std::move(done);
}

RemotePlaylistFetch::~RemotePlaylistFetch()
{
    if (m_impl && !m_impl->finished && !m_impl->path.empty())
        g_unlink(m_impl->path.c_str());
}

void RemotePlaylistFetch::start()
{
    Impl& impl = *m_impl;
    if (const auto shortage = DescriptorLimit::shortOf(kFetchDescriptors)) {
        impl.failLater(*shortage);
        return;
    }
    // The copy keeps the list's extension: the parser tells formats apart by it.
    const std::string pattern = "zephyrscope-list-XXXXXX." + MediaUrl::extension(impl.url);
    gchar* name = nullptr;
    const int fd = g_file_open_tmp(pattern.c_str(), &name, nullptr);
    CharPtr owned(name);
    if (fd >= 0)
        close(fd);
    if (fd < 0 || !name) {
        impl.failLater("cannot create a temporary file");
        return;
    }
    impl.path = name;

    GError* raw = nullptr;
    ElementPtr source(gst_element_make_from_uri(GST_URI_SRC, impl.url.c_str(), nullptr, &raw));
    ErrorPtr error(raw);
    ElementPtr sink(gst_element_factory_make("filesink", nullptr));
    if (!source || !sink) {
        impl.failLater(error ? error->message : "no element can read this URL");
        return;
    }
    gst_object_ref_sink(source.get());
    gst_object_ref_sink(sink.get());
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(source.get()), "timeout"))
        g_object_set(source.get(), "timeout", kFetchTimeoutS, nullptr);
    TlsTrust::applyTo(source.get(), impl.caFile);
    DownloadGuard::watch(source.get(), "src", {kMaxPlaylistBytes, "the playlist", false});
    g_object_set(sink.get(), "location", impl.path.c_str(), nullptr);
    impl.pipeline.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
    gst_bin_add_many(GST_BIN(impl.pipeline.get()), source.get(), sink.get(), nullptr);
    if (!gst_element_link(source.get(), sink.get())) {
        impl.failLater("cannot link the download pipeline");
        return;
    }

    BusPtr bus(gst_element_get_bus(impl.pipeline.get()));
    impl.busWatch = attach(gst_bus_create_watch(bus.get()), G_SOURCE_FUNC(&Impl::onBusMessage), &impl);
    impl.timeout = attach(g_timeout_source_new_seconds(kFetchTimeoutS + 5), &Impl::onTimeout, &impl);

    gst_element_set_state(impl.pipeline.get(), GST_STATE_PLAYING);
}

} // namespace zephyrscope
