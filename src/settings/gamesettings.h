#pragma once

// Content-pack switches of the game (listva.cfg) and the dialog that changes them.

#include <QMap>
#include <QString>

// The switches file listva.cfg in "GTA San Andreas User Files" under the documents folder:
// read once at construction, written back by save().
class GameSettings
{
public:
    // Reads the switches from the user files folder under documentsFolder. The default is the
    // platform's documents folder; empty means there is none.
    GameSettings();
    explicit GameSettings(const QString &documentsFolder);

    bool value(const QString &key, bool defaultValue) const;
    void setValue(const QString &key, bool value);
    void save();

    QString settingsFilePath() const;
    QString switchesFilePath() const;

private:
    void load();

    QString userFilesFolder;
    QString switchesFile;
    QString gameSettingsFile;
    QMap<QString, bool> switches;
};
