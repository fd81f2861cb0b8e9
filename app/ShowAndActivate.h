#pragma once

class QWidget;

// Shows (or restores), raises and activates the window and hands it the
// foreground where the system lets a program take it.
void showAndActivate(QWidget *window);

// The platform's own foreground step; on Windows the input-attachment dance,
// elsewhere the window manager already got Qt's activation request.
void takeForeground(QWidget *window);
