#pragma once

#include <QIcon>

namespace oskel::server::ui {

// The server's pictures, drawn here so that the program carries no image files.
// The program icon, with a green dot while the services run and a grey one while stopped.
QIcon serverIcon(bool running);
QIcon startIcon();
QIcon stopIcon();

} // namespace oskel::server::ui
