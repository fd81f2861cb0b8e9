#pragma once

#include <QString>

// `fieldpost --install-plugin chrome|edge|chromium|all` and `--uninstall-plugin …`:
// what the Plugin group's buttons do, with the same code and the same
// elevation, one printed line per browser. 0 when every named browser ended
// in the asked state, 1 when one did not, 2 for a name that is no browser.
int runPluginCommand(bool install, const QString &browsers);
