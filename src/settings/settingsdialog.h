#pragma once

#include <QDialog>

class GameSettings;

// Lets the player switch content packs and repair the game.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    SettingsDialog(GameSettings *settings, QWidget *parent = nullptr);

private:
    GameSettings *settings;
};
