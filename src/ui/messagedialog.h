#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

// The launcher's one dialog for messages and questions.
class MessageDialog : public QDialog
{
    Q_OBJECT

public:
    enum Kind { Information = 0, Warning = 1, Error = 2 };

    explicit MessageDialog(QWidget *parent = nullptr);

    void setKind(int kind);
    void setQuestion(int question);
    void setText(const QString &text);
    QString text() const;

public slots:
    void btnOk();
    void btnYes();
    void btnNo();

private:
    QLabel *headerLabel;
    QLabel *textLabel;
    QPushButton *btnOkTrigger;
    QPushButton *btnYesTrigger;
    QPushButton *btnNoTrigger;
};

// Builds, runs modally and destroys a MessageDialog; 1 for "Ок" or "Да", 0 otherwise. A parent
// that is an OverlayHost is dimmed while the dialog is open.
int showMessage(QWidget *parent, int kind, const QString &text, int question);
