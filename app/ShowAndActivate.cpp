#include "ShowAndActivate.h"

#include "ShellPlatform.h"

#include <QWidget>

void showAndActivate(QWidget *window)
{
    window->showNormal();
    window->raise();
    window->activateWindow();
    takeForeground(window);
}
