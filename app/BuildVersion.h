#pragma once

#include <QString>

// "V.yyyy.mm.dd.hh" from the compiler's date ("Jun  7 2026") and time
// ("13:14:35") texts; an unknown month name counts as January.
QString buildVersionText(const char *date, const char *time);

// When the build that made the binary ran, in the same two forms; generated
// at build time (app/BuildStamp.cmake), so that an incremental build is
// stamped too.
extern const char buildStampDate[];
extern const char buildStampTime[];

// "Thornvaleworks Fieldpost (Plugin) " followed by this build's version.
QString titleText();
