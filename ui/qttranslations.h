#pragma once
// Qt's own texts (the buttons of message boxes, the folder dialog) in Simplified Chinese, like the
// rest of the window, whatever the system's language.

// Installs Qt's Simplified Chinese catalogue into the running application, once. Returns false
// when the catalogue is not installed on this system (Qt's English texts then stay).
bool installQtTranslations();
