#pragma once

typedef struct _GSource GSource;

// Keeps work of default priority always ready on the default GMainContext while
// it lives, as a loaded user interface does with its stream of posted events:
// sources of default priority (timers, bus watches, Qt's events) still run, but
// idle sources never get their turn.
class BusyMainLoop {
public:
    BusyMainLoop();
    ~BusyMainLoop();
    BusyMainLoop(const BusyMainLoop&) = delete;
    BusyMainLoop& operator=(const BusyMainLoop&) = delete;

private:
    GSource* m_source = nullptr;
};
