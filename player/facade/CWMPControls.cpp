#include "CWMPControls.h"

#include "PlayerEngine.h"

namespace zephyrscope {

CWMPControls::CWMPControls(std::shared_ptr<PlayerEngine> engine)
    : m_engine(std::move(engine))
{
}

void CWMPControls::play()
{
    m_engine->play();
}

void CWMPControls::stop()
{
    m_engine->stop();
}

} // namespace zephyrscope
