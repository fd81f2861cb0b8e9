#pragma once

#include <QString>

// "V.yyyy.mm.dd.hh" from the compiler's date ("Jun  7 2026") and time
// ("13:14:35") texts; an unknown month name counts as January.
QString buildVersionText(const char *date, const char *time);

// "Thornvaleworks Fieldpost (Plugin) " followed by this build's version.
QString titleText();
