#pragma once

#include "PlayerControls.h"

#include <memory>

namespace zephyrscope {

class PlayerEngine;

// The player's controls, handed out by CWMPPlayer4::controls() for one call.
class CWMPControls final : public PlayerControls {
public:
    explicit CWMPControls(std::shared_ptr<PlayerEngine> engine);

    void play() override;
    void stop() override;

private:
    std::shared_ptr<PlayerEngine> m_engine;
};

} // namespace zephyrscope
