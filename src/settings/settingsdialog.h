#pragma once

#include <QDialog>
#include <QString>

#include <functional>

namespace Ui {
class SettingsDialog;
}

class AnimBgButton;
class CustomCheckbox;
class CustomLabel;
class GameSettings;

// Lets the player switch the optional content packs (kept in GameSettings as soon as a switch
// changes, written to listva.cfg on "Сохранить") and repair the game ("Починить игру").
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    // What the repair needs from the window that runs the synchronisation.
    struct Repair
    {
        std::function<bool()> readyToPlay;
        std::function<void()> startSync;
        QString stateFile; // the launcher's synchronisation state, "korvina_launcher.bin"
    };

    // Messages are shown with parent as their parent, so that it stays dimmed under them.
    SettingsDialog(GameSettings *settings, const Repair &repair, QWidget *parent = nullptr);
    ~SettingsDialog() override;

    CustomCheckbox *checkbox(const QString &key) const;

public slots:
    void btnOk();
    void btnCache();
    void treesCheck(bool check);
    void modpackCheck(bool check);
    void grassCheck(bool check);
    void winterCheck(bool check);
    void rebornCheck(bool check);

private:
    Ui::SettingsDialog *ui;
    AnimBgButton *saveButton;
    AnimBgButton *repairButton;
    CustomCheckbox *trees;
    CustomCheckbox *grass;
    CustomCheckbox *modpack;
    CustomCheckbox *winter;
    CustomCheckbox *reborn;
    CustomLabel *title;
    GameSettings *settings;
    Repair repair;
};
