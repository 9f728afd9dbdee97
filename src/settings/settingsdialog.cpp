#include "settings/settingsdialog.h"

#include "settings/gamesettings.h"
#include "sync/safepath.h"
#include "ui/animcontrols.h"
#include "ui/dialogframe.h"
#include "ui/images.h"
#include "ui/messagedialog.h"
#include "ui_settingsdialog.h"

#include <QFile>
#include <QFileInfo>

namespace {

const char *const grassWarning
    = "ОСТОРОЖНО! Включение этой настройки может привести к снижению ФПС. Также учитывайте, что "
      "трава будет активирована ТОЛЬКО при наивысших настройках графики в игре (в меню графики)";

// Defaults of the switches that are absent from listva.cfg. "list" is stored inverted: true
// means the foliage is off.
constexpr bool listDefault = false;
constexpr bool grassDefault = false;
constexpr bool modpackDefault = true;
constexpr bool winterDefault = true;
constexpr bool rebornDefault = false;

AnimBgButton *styleButton(QPushButton *button)
{
    auto *controller = new AnimBgButton(button);
    controller->setBackgroundColors(QColor(15, 41, 98, 255), QColor(0, 163, 255, 255));
    controller->setGlowColors(QColor(0, 163, 255, 0), QColor(0, 163, 255, 255));
    button->setFont(QFont(QStringLiteral("Montserrat"), 8, 57));
    button->setCursor(Qt::PointingHandCursor);
    return controller;
}

// True when path is gone afterwards; a file that was not there counts as removed.
bool removeFile(const QString &path)
{
    const QFileInfo file(path);
    const QString target = SafePath::resolve(file.absolutePath(), file.fileName(), true);
    if (!target.isEmpty())
        QFile::remove(target);
    const QFileInfo after(path);
    return !after.exists() && !after.isSymLink();
}

CustomCheckbox *makeSwitch(QLabel *row)
{
    row->setFont(QFont(QStringLiteral("Montserrat"), 10, 57));
    return new CustomCheckbox(row);
}

} // namespace

SettingsDialog::SettingsDialog(GameSettings *settings, const Repair &repair, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::SettingsDialog)
    , settings(settings)
    , repair(repair)
{
    ui->setupUi(this);
    ui->bodyWidget->raise();

    saveButton = styleButton(ui->btnOk);
    repairButton = styleButton(ui->removeCache);
    new Picture(
        QStringLiteral(":/images/repair.png"), ui->removeCache, Qt::AlignLeft | Qt::AlignVCenter);

    title = new CustomLabel(ui->settingsLabel, 5);
    title->setLook(QFont(QStringLiteral("Montserrat"), 80, 75), Qt::white, Qt::AlignCenter,
        QStringLiteral("Настройки"));

    trees = makeSwitch(ui->treesLabel);
    grass = makeSwitch(ui->grassLabel);
    modpack = makeSwitch(ui->modpackLabel);
    winter = makeSwitch(ui->winterLabel);
    reborn = makeSwitch(ui->rebornLabel);

    frameDialog(this, ui->shadowWidget);

    connect(ui->btnOk, &QPushButton::released, this, &SettingsDialog::btnOk);
    connect(ui->removeCache, &QPushButton::released, this, &SettingsDialog::btnCache);
    connect(trees, &CustomCheckbox::checked, this, &SettingsDialog::treesCheck);
    connect(modpack, &CustomCheckbox::checked, this, &SettingsDialog::modpackCheck);
    connect(grass, &CustomCheckbox::checked, this, &SettingsDialog::grassCheck);
    connect(winter, &CustomCheckbox::checked, this, &SettingsDialog::winterCheck);
    connect(reborn, &CustomCheckbox::checked, this, &SettingsDialog::rebornCheck);

    trees->setChecked(!settings->value(QStringLiteral("list"), listDefault));
    grass->setChecked(settings->value(QStringLiteral("grass"), grassDefault));
    modpack->setChecked(settings->value(QStringLiteral("modpack"), modpackDefault));
    winter->setChecked(settings->value(QStringLiteral("winter"), winterDefault));
    reborn->setChecked(settings->value(QStringLiteral("reborn"), rebornDefault));
}

SettingsDialog::~SettingsDialog()
{
    delete ui;
}

CustomCheckbox *SettingsDialog::checkbox(const QString &key) const
{
    if (key == QLatin1String("list"))
        return trees;
    if (key == QLatin1String("grass"))
        return grass;
    if (key == QLatin1String("modpack"))
        return modpack;
    if (key == QLatin1String("winter"))
        return winter;
    if (key == QLatin1String("reborn"))
        return reborn;
    return nullptr;
}

void SettingsDialog::btnOk()
{
    // These three are always in the file after a save, whether or not they were touched.
    settings->setValue(
        QStringLiteral("list"), settings->value(QStringLiteral("list"), listDefault));
    settings->setValue(
        QStringLiteral("modpack"), settings->value(QStringLiteral("modpack"), modpackDefault));
    settings->setValue(
        QStringLiteral("grass"), settings->value(QStringLiteral("grass"), grassDefault));
    settings->save();
    accept();
}

void SettingsDialog::btnCache()
{
    QWidget *messageParent = parentWidget();
    if (!repair.readyToPlay || !repair.readyToPlay()) {
        showMessage(messageParent, MessageDialog::Information,
            QStringLiteral("Дождитесь окончания загрузки!"), 0);
        return;
    }
    // A running game keeps its files open, and Windows then refuses the delete: name what is
    // left rather than report a repair that did not happen. The game's file goes first, and
    // the state only after it, so that a refused repair leaves the ready game as it is
    // instead of making the next start check every file again.
    for (const QString &path : { settings->settingsFilePath(), repair.stateFile }) {
        if (path.isEmpty() || removeFile(path))
            continue;
        showMessage(messageParent, MessageDialog::Error,
            QStringLiteral("Не удалось удалить %1! Закройте игру и попробуйте снова.")
                .arg(QFileInfo(path).fileName()),
            0);
        return;
    }
    showMessage(messageParent, MessageDialog::Information,
        QStringLiteral("Кэш-файлы и настройки успешно удалены!"), 0);
    if (repair.startSync)
        repair.startSync();
}

void SettingsDialog::treesCheck(bool check)
{
    settings->setValue(QStringLiteral("list"), !check);
}

void SettingsDialog::modpackCheck(bool check)
{
    settings->setValue(QStringLiteral("modpack"), check);
}

void SettingsDialog::grassCheck(bool check)
{
    if (check)
        showMessage(parentWidget(), MessageDialog::Information, QString::fromUtf8(grassWarning), 0);
    settings->setValue(QStringLiteral("grass"), check);
}

void SettingsDialog::winterCheck(bool check)
{
    settings->setValue(QStringLiteral("winter"), check);
}

void SettingsDialog::rebornCheck(bool check)
{
    settings->setValue(QStringLiteral("reborn"), check);
}
