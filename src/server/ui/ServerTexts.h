#pragma once

#include <QString>

namespace oskel::server::ui {

// The server window's texts, looked up by their keys. English is the active language.
QString serverText(const char* key);

// The caption of the server's message boxes.
inline const char* kMessageCaption = "Tavro Server";

} // namespace oskel::server::ui
