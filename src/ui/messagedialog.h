#pragma once

#include <QDialog>
#include <QPoint>
#include <QString>

namespace Ui {
class MessageDialog;
}

class AnimBgButton;
class CustomLabel;
class Picture;

// The launcher's one dialog for messages and questions: three kinds with their own icon,
// title and accent, a single "Ок" or "Да"/"Нет". Frameless, so it is moved by its body.
class MessageDialog : public QDialog
{
    Q_OBJECT

public:
    enum Kind { Information = 0, Warning = 1, Error = 2 };

    explicit MessageDialog(QWidget *parent = nullptr);
    ~MessageDialog() override;

    void setKind(int kind);
    void setQuestion(int question);
    void setText(const QString &text);

    // What the renderers draw, for the callers' checks.
    QString text() const;
    QString title() const;

public slots:
    void btnOk();
    void btnYes();
    void btnNo();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    Ui::MessageDialog *ui;
    bool dragging = false;
    QPoint pressPoint;
    AnimBgButton *okButton;
    AnimBgButton *yesButton;
    AnimBgButton *noButton;
    CustomLabel *textRenderer;
    CustomLabel *titleRenderer;
    Picture *icon;
};

// Builds, runs modally and destroys a MessageDialog; 1 for "Ок" or "Да", 0 for "Нет" or any
// other way of closing. A parent that is an OverlayHost is dimmed while the dialog is open.
int showMessage(QWidget *parent, int kind, const QString &text, int question);
