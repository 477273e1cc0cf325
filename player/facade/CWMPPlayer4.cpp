#include "CWMPPlayer4.h"

#include "CWMPControls.h"
#include "CWMPMedia.h"
#include "CWMPNetwork.h"
#include "GstHandles.h"
#include "PlayerEngine.h"
#include "PlayerError.h"
#include "PlayerProtocols.h"
#include "TlsTrust.h"

namespace zephyrscope {

CWMPPlayer4::CWMPPlayer4()
{
    if (!gst_is_initialized()) {
        GError* raw = nullptr;
        if (!gst_init_check(nullptr, nullptr, &raw)) {
            gsthandles::ErrorPtr error(raw);
            throw PlayerError(std::string("Cannot start engine 'GStreamer': ")
                              + (error ? error->message : "initialisation failed"));
        }
    }
    registerPlayerProtocolElements();
    m_engine = std::make_shared<PlayerEngine>();
}

CWMPPlayer4::~CWMPPlayer4() = default;

void CWMPPlayer4::putURL(const std::string& url)
{
    m_engine->putURL(url);
}

std::unique_ptr<PlayerControls> CWMPPlayer4::controls()
{
    return std::make_unique<CWMPControls>(m_engine);
}

std::unique_ptr<PlayerMedia> CWMPPlayer4::currentMedia()
{
    return std::make_unique<CWMPMedia>(m_engine->media());
}

std::unique_ptr<PlayerNetwork> CWMPPlayer4::network()
{
    return std::make_unique<CWMPNetwork>(m_engine->figures());
}

std::int32_t CWMPPlayer4::playState()
{
    return m_engine->playState();
}

void CWMPPlayer4::snapshot(NetworkFigures& into)
{
    into = m_engine->figures();
    into.playState = m_engine->playState();
}

void CWMPPlayer4::setEventSink(PlayerEventSink* sink)
{
    m_engine->setEventSink(sink);
}

void CWMPPlayer4::setVideoWindow(std::uintptr_t xid)
{
    m_engine->setVideoWindow(xid);
}

void CWMPPlayer4::setFakeSinks(bool fakeOnly)
{
    m_engine->setFakeSinks(fakeOnly);
}

void CWMPPlayer4::setNoDataTimeout(std::int32_t ms)
{
    m_engine->setNoDataTimeout(ms);
}

void CWMPPlayer4::setTransportOnly(bool parsedOnly)
{
    m_engine->setTransportOnly(parsedOnly);
}

void CWMPPlayer4::setContentSettings(const ContentSettings& settings)
{
    m_engine->setContentSettings(settings);
}

void CWMPPlayer4::setOpenTimeout(std::int32_t ms)
{
    m_engine->setOpenTimeout(ms);
}

void CWMPPlayer4::setCaFile(const std::string& path)
{
    m_engine->setCaFile(path);
    if (!path.empty())
        TlsTrust::makeProcessDefault(path);
}

std::string CWMPPlayer4::caFileError(const std::string& path)
{
    const std::string reason = TlsTrust::caFileError(path);
    return reason.empty() ? reason : "Cannot use CA file '" + path + "': " + reason;
}

void CWMPPlayer4::setWebRtcOptions(const std::string& bearerToken, const std::string& stunServer,
                                   const std::string& turnServer)
{
    m_engine->setWebRtc(bearerToken, stunServer, turnServer);
}

} // namespace zephyrscope
