#include "ui/messagedialog.h"

#include "ui/animcontrols.h"
#include "ui/dialogframe.h"
#include "ui/images.h"
#include "ui/overlayhost.h"
#include "ui_messagedialog.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

#include <iterator>

namespace {

struct KindLook
{
    const char *icon;
    const char *title;
    const char *accent;
};

const KindLook kindLooks[] = {
    { ":/images/info.png", "Информация", "#00A3FF" },
    { ":/images/alert.png", "Предупреждение", "#FFC700" },
    { ":/images/error.png", "Ошибка", "#FF5050" },
};

} // namespace

MessageDialog::MessageDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::MessageDialog)
{
    ui->setupUi(this);
    ui->bodyWidget->raise();

    AnimBgButton **controllers[] = { &okButton, &yesButton, &noButton };
    QPushButton *buttons[] = { ui->btnOkTrigger, ui->btnYesTrigger, ui->btnNoTrigger };
    for (int i = 0; i < 3; ++i) {
        auto *controller = new AnimBgButton(buttons[i]);
        controller->setBackgroundColors(QColor(15, 41, 98, 255), QColor(0, 163, 255, 255));
        controller->setGlowColors(QColor(0, 163, 255, 0), QColor(0, 163, 255, 255));
        buttons[i]->setFont(QFont(QStringLiteral("Montserrat"), 8, 57));
        buttons[i]->setCursor(Qt::PointingHandCursor);
        *controllers[i] = controller;
    }
    connect(ui->btnOkTrigger, &QPushButton::released, this, &MessageDialog::btnOk);
    connect(ui->btnYesTrigger, &QPushButton::released, this, &MessageDialog::btnYes);
    connect(ui->btnNoTrigger, &QPushButton::released, this, &MessageDialog::btnNo);

    textRenderer = new CustomLabel(ui->textLabel, 5.3);
    textRenderer->setLook(QFont(QStringLiteral("Montserrat"), 42, 45), Qt::white,
        Qt::AlignCenter | Qt::TextWordWrap, QString());

    icon = new Picture(QString(), ui->headerLabel, Qt::AlignLeft | Qt::AlignVCenter);
    titleRenderer = new CustomLabel(ui->headerLabel, 5.3);
    titleRenderer->setLook(QFont(QStringLiteral("Montserrat"), 75, 45), Qt::white,
        Qt::AlignTop | Qt::AlignHCenter, QString());

    frameDialog(this, ui->shadowWidget);
}

MessageDialog::~MessageDialog()
{
    delete ui;
}

void MessageDialog::setKind(int kind)
{
    const bool known = kind >= 0 && kind < int(std::size(kindLooks));
    const QString iconPath = known ? QLatin1String(kindLooks[kind].icon) : QString();
    const QString title = known ? QString::fromUtf8(kindLooks[kind].title) : QString();
    const QString accent = known ? QLatin1String(kindLooks[kind].accent) : QString();
    icon->setPath(iconPath);
    ui->bodyWidget->setStyleSheet(
        QStringLiteral("#bodyWidget {background: #0B2255;border-top: 2px solid %1;}").arg(accent));
    titleRenderer->setLabelText(title);
}

void MessageDialog::setQuestion(int question)
{
    if (question == 0) {
        ui->btnOkTrigger->show();
        ui->btnYesTrigger->hide();
        ui->btnNoTrigger->hide();
    } else if (question == 1) {
        ui->btnOkTrigger->hide();
        ui->btnYesTrigger->show();
        ui->btnNoTrigger->show();
    }
}

void MessageDialog::setText(const QString &text)
{
    textRenderer->setLabelText(text.trimmed());
}

QString MessageDialog::text() const
{
    return textRenderer->labelText();
}

QString MessageDialog::title() const
{
    return titleRenderer->labelText();
}

void MessageDialog::btnOk()
{
    accept();
}

void MessageDialog::btnYes()
{
    accept();
}

void MessageDialog::btnNo()
{
    reject();
}

void MessageDialog::mousePressEvent(QMouseEvent *event)
{
    QDialog::mousePressEvent(event);
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        pressPoint = event->localPos().toPoint();
    }
}

void MessageDialog::mouseMoveEvent(QMouseEvent *event)
{
    QDialog::mouseMoveEvent(event);
    if (dragging)
        move(event->globalPos() - pressPoint);
}

void MessageDialog::mouseReleaseEvent(QMouseEvent *event)
{
    QDialog::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || !dragging)
        return;
    // Keep at least half of the dialog on the primary screen, so it can always be grabbed.
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const int halfWidth = width() / 2;
        const int halfHeight = height() / 2;
        const QSize area = screen->geometry().size();
        if (x() < -halfWidth)
            move(-halfWidth, y());
        if (y() < -halfHeight)
            move(x(), -halfHeight);
        if (x() > area.width() - halfWidth)
            move(area.width() - halfWidth, y());
        if (y() > area.height() - halfHeight)
            move(x(), area.height() - halfHeight);
    }
    dragging = false;
}

int showMessage(QWidget *parent, int kind, const QString &text, int question)
{
    auto *host = dynamic_cast<OverlayHost *>(parent);
    if (host)
        host->setOverlay(true);
    auto *dialog = new MessageDialog(parent);
    dialog->setKind(kind);
    dialog->setQuestion(question);
    dialog->setText(text);
    dialog->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    const int result = dialog->exec();
    delete dialog;
    if (host)
        host->setOverlay(false);
    return result;
}
