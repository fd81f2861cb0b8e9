#pragma once

class QApplication;

// The one dark look: Fusion, the dark palette and the application style sheet.
void applyTheme(QApplication &application);
