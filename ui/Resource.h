#pragma once

// Identifiers of the program's controls, commands and timers.

// Results and the dialog manager's own button ids.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
// Static items without an id of their own.
inline constexpr int IDC_STATIC = -1;

inline constexpr int IDC_PLAYER = 1000;
inline constexpr int IDC_OPEN = 1001;
inline constexpr int IDC_URL = 1002;
inline constexpr int IDC_URL_PROMPT = 1003;
inline constexpr int IDC_STOP = 1004;
inline constexpr int IDC_FPS = 1005;
inline constexpr int IDC_BROWSE = 1006;
inline constexpr int IDC_PROGRESS = 1007;
inline constexpr int IDC_ABOUT = 1008;

// System-menu commands. Window-frame commands keep the platform's values; the
// About entry is ours and any id from 0x0010 to 0x001F means it.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
inline constexpr unsigned SC_CLOSE = 0xF060;

inline constexpr unsigned ID_TIMER_SAMPLE = 131;
inline constexpr unsigned ID_TIMER_COUNTDOWN = 132;
// The wait before a monitored channel is opened again.
inline constexpr unsigned ID_TIMER_RECONNECT = 133;
