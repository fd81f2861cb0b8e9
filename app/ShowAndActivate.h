#pragma once

class QWidget;

// Shows (or restores), raises and activates the window and hands it the
// foreground where the system lets a program take it.
void showAndActivate(QWidget *window);
