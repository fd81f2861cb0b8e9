#include "Theme.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QPalette>
#include <QStyleFactory>

namespace {

// The whole application style sheet. Widgets opt into the special rules
// through the object names "hint" and "accent".
const char styleSheet[] = R"css(
* { font-family: "Segoe UI", "Inter", sans-serif; font-size: 10pt; }
QWidget { color: #e6e8eb; }
QGroupBox {
    background: #2a2d33; border: 1px solid #383c44; border-radius: 10px;
    margin-top: 14px; padding: 6px 14px 5px 14px; font-weight: 700;
}
QGroupBox::title {
    subcontrol-origin: margin; subcontrol-position: top left; left: 14px; padding: 2px 8px;
    color: #4d90fe; font-size: 10.5pt; font-weight: 800;
}
QLabel { background: transparent; }
QLabel#hint { color: #9aa0a8; }
QSpinBox, QComboBox, QLineEdit {
    background: #1b1d21; border: 1px solid #3a3f48; border-radius: 6px; padding: 6px 8px;
    selection-background-color: #1d4ed8; min-height: 18px;
}
QSpinBox:focus, QComboBox:focus, QLineEdit:focus { border: 1px solid #2563eb; }
QComboBox::drop-down { subcontrol-origin: padding; subcontrol-position: center right; border: none; width: 22px; }
QComboBox::down-arrow { image: url(:/down.png); width: 12px; height: 12px; }
QComboBox QAbstractItemView {
    background: #26292e; border: 1px solid #3a3f48; selection-background-color: #1d4ed8; outline: none;
}
QSpinBox::up-button, QSpinBox::down-button { width: 0; border: none; }
QPushButton {
    background: #343941; border: 1px solid #424854; border-radius: 6px; padding: 7px 14px; font-weight: 600;
}
QPushButton:hover { background: #3d434c; border-color: #525a68; }
QPushButton:pressed { background: #2c3037; }
QPushButton:disabled { background: #2a2d33; color: #6b7078; border-color: #34383f; }
QPushButton#accent { background: #1d4ed8; border: 1px solid #1d4ed8; color: white; }
QPushButton#accent:hover { background: #2563eb; border-color: #2563eb; }
QPushButton#accent:pressed { background: #1e40af; }
QPlainTextEdit {
    background: #16181b; border: 1px solid #2f333a; border-radius: 8px; padding: 6px;
    font-family: "Consolas", "Cascadia Code", monospace; font-size: 9.5pt; color: #cdd2d8;
}
QCheckBox { spacing: 8px; background: transparent; }
QCheckBox::indicator {
    width: 18px; height: 18px; border: 1px solid #4a505a; border-radius: 4px; background: #1b1d21;
}
QCheckBox::indicator:hover { border-color: #2563eb; }
QCheckBox::indicator:checked { background: #ffffff; border: 1px solid #1d4ed8; image: url(:/check.png); }
QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }
QScrollBar::handle:vertical { background: #3d434c; border-radius: 5px; min-height: 24px; }
QScrollBar::handle:vertical:hover { background: #4a515c; }
QScrollBar::add-line, QScrollBar::sub-line { height: 0; }
QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }
)css";

struct PaletteEntry
{
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
    QRgb colour;
};

// Applied in this order: the Disabled entries come last and override All.
const PaletteEntry paletteEntries[] = {
    {QPalette::All, QPalette::Window, 0x1e2024},
    {QPalette::All, QPalette::WindowText, 0xe6e8eb},
    {QPalette::All, QPalette::Base, 0x26292e},
    {QPalette::All, QPalette::AlternateBase, 0x2a2d33},
    {QPalette::All, QPalette::ToolTipBase, 0x2a2d33},
    {QPalette::All, QPalette::ToolTipText, 0xe6e8eb},
    {QPalette::All, QPalette::Text, 0xe6e8eb},
    {QPalette::All, QPalette::Button, 0x2a2d33},
    {QPalette::All, QPalette::ButtonText, 0xe6e8eb},
    {QPalette::All, QPalette::BrightText, 0xffffff},
    {QPalette::All, QPalette::Highlight, 0x1d4ed8},
    {QPalette::All, QPalette::HighlightedText, 0xffffff},
    {QPalette::All, QPalette::PlaceholderText, 0x9aa0a8},
    {QPalette::Disabled, QPalette::Text, 0x6b7078},
    {QPalette::Disabled, QPalette::ButtonText, 0x6b7078},
    {QPalette::Disabled, QPalette::WindowText, 0x6b7078},
};

} // namespace

void applyTheme(QApplication &application)
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    QPalette palette;
    for (const PaletteEntry &entry : paletteEntries)
        palette.setBrush(entry.group, entry.role, QBrush(QColor::fromRgb(entry.colour)));
    QApplication::setPalette(palette);

    application.setStyleSheet(QString::fromUtf8(styleSheet));
}
