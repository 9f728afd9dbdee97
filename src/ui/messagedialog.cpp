#include "ui/messagedialog.h"

#include "ui/overlayhost.h"

#include <QLabel>
#include <QPushButton>

MessageDialog::MessageDialog(QWidget *parent)
    : QDialog(parent)
    , headerLabel(new QLabel(this))
    , textLabel(new QLabel(this))
    , btnOkTrigger(new QPushButton(QStringLiteral("Ок"), this))
    , btnYesTrigger(new QPushButton(QStringLiteral("Да"), this))
    , btnNoTrigger(new QPushButton(QStringLiteral("Нет"), this))
{
    setObjectName(QStringLiteral("MessageDialog"));
    setWindowTitle(QStringLiteral("KorvinaNet"));
    resize(410, 260);
    headerLabel->setObjectName(QStringLiteral("headerLabel"));
    headerLabel->setGeometry(75, 35, 260, 31);
    headerLabel->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    textLabel->setObjectName(QStringLiteral("textLabel"));
    textLabel->setGeometry(45, 75, 320, 80);
    textLabel->setWordWrap(true);
    textLabel->setAlignment(Qt::AlignCenter);
    btnOkTrigger->setObjectName(QStringLiteral("btnOkTrigger"));
    btnOkTrigger->setGeometry(125, 175, 160, 40);
    btnYesTrigger->setObjectName(QStringLiteral("btnYesTrigger"));
    btnYesTrigger->setGeometry(40, 175, 160, 40);
    btnNoTrigger->setObjectName(QStringLiteral("btnNoTrigger"));
    btnNoTrigger->setGeometry(210, 175, 160, 40);
    connect(btnOkTrigger, &QPushButton::released, this, &MessageDialog::btnOk);
    connect(btnYesTrigger, &QPushButton::released, this, &MessageDialog::btnYes);
    connect(btnNoTrigger, &QPushButton::released, this, &MessageDialog::btnNo);
}

void MessageDialog::setKind(int kind)
{
    static const char *const titles[] = { "Информация", "Предупреждение", "Ошибка" };
    headerLabel->setText(kind >= 0 && kind <= 2 ? QString::fromUtf8(titles[kind]) : QString());
}

void MessageDialog::setQuestion(int question)
{
    if (question == 0) {
        btnOkTrigger->show();
        btnYesTrigger->hide();
        btnNoTrigger->hide();
    } else if (question == 1) {
        btnOkTrigger->hide();
        btnYesTrigger->show();
        btnNoTrigger->show();
    }
}

void MessageDialog::setText(const QString &text)
{
    textLabel->setText(text.trimmed());
}

QString MessageDialog::text() const
{
    return textLabel->text();
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
