#pragma once

#include <QString>

#include <string>

// The application's name as message boxes show it: the executable's file name
// without its extension.
QString ApplicationName();

// Shows text in a modal warning box with an OK button, titled with the
// application name, and writes it to stderr as well. On a platform without a
// display (Qt's "offscreen") nothing can answer a box, so it is not shown and
// counts as answered. Returns IDOK. UI thread only.
int AfxMessageBox(const std::string& text);
