// The toolkit's own texts (standard dialogs and buttons) in Japanese, to
// match the interface whatever the system locale is.
#pragma once

// Loads the toolkit's Japanese translations into the running application
// (once). False when they are not installed; the toolkit then stays English.
bool InstallToolkitTranslations();
