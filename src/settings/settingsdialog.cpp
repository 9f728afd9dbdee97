#include "settingsdialog.h"

#include "gamesettings.h"

SettingsDialog::SettingsDialog(GameSettings *settings, QWidget *parent)
    : QDialog(parent)
    , settings(settings)
{
    resize(500, 400);
}
