#pragma once

#include <string>

#include <QDialog>
#include <QString>
#include <QTimer>

#include "ui_logindialog.h"

class QCloseEvent;

// The form of the dialog (object name and translation context "Dialog").
struct Ui_LoginDialog : public Ui_Dialog {
};

// Log-in and SMS-verified registration against the cloud user store, with
// the phone number and password remembered in "userconfig.txt" on request.
// Modeless: the main window owns one for its whole life and shows it; closing
// only hides it. Every request blocks the GUI thread for at most the HTTP
// client's time-outs; every failure is a message box and the dialog stays.
class LoginDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LoginDialog(QWidget* parent = nullptr);
    ~LoginDialog() override;

    // Set by the window before each showing; handed back in login_sig.
    bool need_changge = false;

    // Eleven digits: 1, then 3x, 5x, 8x, 45, 47, 49, 66, 70, 71, 73, 75-78, 98 or 99.
    static bool IsValidPhoneNumber(const QString& phone);

    // Name of the file that remembers the choices, in the working directory.
    static const char* const kConfigFile;

signals:
    // After a successful log-in or registration, on the GUI thread.
    void login_sig(bool need_changge);

protected:
    void closeEvent(QCloseEvent* event) override;

    // The verification-code countdown: its one-second timer and the seconds
    // it still has to run.
    QTimer& CountdownTimer() { return timer; }
    int CountdownLeft() const { return countdown; }

private slots:
    void OnGetVerificationCode();
    void login_clicked();
    void regist_clicked();
    void OnRegist();
    void RegistByPhoneNo();
    bool LoadConfigFile();
    bool SaveConfigFile();

private:
    // A log-in or registration reply: a session token is a success, which
    // hands need_changge on and closes the dialog; each outcome has its box.
    void AcceptSession(
        const std::string& reply, const QString& unreadable, const QString& success, const QString& failure);
    void BackToLogin();
    void CountdownTick();

    int countdown = 60;
    QTimer timer;
    Ui_LoginDialog ui;
    std::string rememberedUser;
    std::string rememberedPwd;
    bool userLoaded = false;
    bool pwdLoaded = false;
};
