#include "FrameDamageBound.h"

namespace zephyrscope::tools::impair {

void FrameDamageBound::end()
{
    ++m_frames;
    if (m_key)
        ++m_keyFrames;
    m_damaging = openDamaging();
    if (m_damaging) {
        ++m_bound;
        if (!m_hit)
            ++m_whole;
    }
    m_inFrame = false;
}

} // namespace zephyrscope::tools::impair
