#include "logindialog.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <QCloseEvent>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTabBar>

#include <json/value.h>
#include <json/writer.h>

#include "cloudrequest.h"
#include "helpers.h"
#include "logger.h"
#include "platform.h"

const char* const LoginDialog::kConfigFile = "userconfig.txt";

namespace
{

void Warn(const QString& title, const QString& text)
{
    QMessageBox::warning(nullptr, title, text);
}

void Inform(const QString& text)
{
    QMessageBox::information(nullptr, QStringLiteral("info"), text);
}

// A reply the user store answered: JSON whose top level is an object.
// Anything else, an empty reply after a failed transfer included, counts
// as a request that went wrong.
bool ParseReply(const std::string& reply, Json::Value& document)
{
    return ParseJson(Utf8ToAnsi(reply), document) && document.isObject();
}

// The two checks every phone number passes before a request, each with its box.
bool PhoneNumberPasses(const QString& phone)
{
    if (phone.isEmpty()) {
        Warn(QStringLiteral("warn"), QStringLiteral("手机号码不能为空!"));
        return false;
    }
    if (!LoginDialog::IsValidPhoneNumber(phone)) {
        Warn(QStringLiteral("warn"), QStringLiteral("请输入正确的手机号码!"));
        return false;
    }
    return true;
}

// The remembered texts are written by this program as texts; a boolean or
// null is read the way the JSON library converts it, anything else means the
// file was not written by us and is ignored as a whole.
bool IsRememberedText(const Json::Value& value)
{
    return value.isString() || value.isBool() || value.isNull();
}

// The file holds a phone number and a password; anything far larger was not
// written by this program and is not read in whole.
constexpr std::streamsize kMaxConfigBytes = 64 * 1024;

// False when the file cannot be opened; `complete` false when it is larger
// than kMaxConfigBytes (then only that much is read).
bool ReadConfigText(const char* path, std::string& text, bool& complete)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text.resize(kMaxConfigBytes + 1);
    in.read(&text[0], kMaxConfigBytes + 1);
    text.resize(static_cast<size_t>(in.gcount()));
    complete = in.gcount() <= kMaxConfigBytes;
    return true;
}

} // namespace

LoginDialog::LoginDialog(QWidget* parent)
    : QDialog(parent)
{
    ui.setupUi(this);
    LoadConfigFile();
    ui.tabWidget->setCurrentIndex(0);
    ui.tabWidget->tabBar()->hide();

    connect(ui.registButton, &QPushButton::clicked, this, &LoginDialog::regist_clicked);
    connect(ui.registButton_2, &QPushButton::clicked, this, [this] { BackToLogin(); });
    connect(ui.okButton_2, &QPushButton::clicked, this, &LoginDialog::OnRegist);
    connect(ui.registButton_3, &QPushButton::clicked, this, &LoginDialog::OnGetVerificationCode);
    connect(ui.pushButton, &QPushButton::clicked, this, &LoginDialog::login_clicked);
    connect(&timer, &QTimer::timeout, this, [this] { CountdownTick(); });

    if (pwdLoaded) {
        ui.pwd_check->setChecked(true);
        ui.sec_lineEdit->setText(QString::fromStdString(rememberedPwd));
    }
    if (userLoaded) {
        ui.user_check->setChecked(true);
        ui.phone_lineEdit->setText(QString::fromStdString(rememberedUser));
    }
}

LoginDialog::~LoginDialog() = default;

bool LoginDialog::IsValidPhoneNumber(const QString& phone)
{
    static const QRegularExpression rule(QRegularExpression::anchoredPattern(
        QStringLiteral("1([358][0-9]|4[579]|66|7[0135678]|9[89])[0-9]{8}")));
    return rule.match(phone).hasMatch();
}

void LoginDialog::closeEvent(QCloseEvent*)
{
    setWindowTitle(QStringLiteral("登录"));
    ui.tabWidget->setCurrentIndex(0);
    hide();
}

void LoginDialog::AcceptSession(
    const std::string& reply, const QString& unreadable, const QString& success, const QString& failure)
{
    Json::Value document;
    if (!ParseReply(reply, document)) {
        Warn(QStringLiteral("warn"), unreadable);
        return;
    }
    if (document.isMember("sessionToken")) {
        Inform(success);
        emit login_sig(need_changge);
        close();
    } else {
        Inform(failure);
    }
}

void LoginDialog::BackToLogin()
{
    setWindowTitle(QStringLiteral("登录"));
    ui.tabWidget->setCurrentIndex(0);
}

void LoginDialog::regist_clicked()
{
    ui.tabWidget->setCurrentIndex(1);
    setWindowTitle(QStringLiteral("注册新用户"));
}

void LoginDialog::login_clicked()
{
    const QString phone = ui.phone_lineEdit->text();
    if (!PhoneNumberPasses(phone))
        return;
    const QString password = ui.sec_lineEdit->text();
    if (password.isEmpty()) {
        Warn(QStringLiteral("warn"), QStringLiteral("密码不能为空!"));
        return;
    }
    // Stored before the request, so the choices hold whatever the outcome.
    SaveConfigFile();

    Json::Value body;
    body["username"] = phone.toStdString();
    body["password"] = password.toStdString();
    AcceptSession(CloudPost("/1.1/login", body), QStringLiteral("未知错误!"), QStringLiteral("登录成功!"),
        QStringLiteral("登录失败!"));
}

void LoginDialog::OnGetVerificationCode()
{
    const QString phone = ui.phone_lineEdit_2->text();
    if (!PhoneNumberPasses(phone))
        return;
    Json::Value body;
    body["mobilePhoneNumber"] = phone.toStdString();
    if (CloudPost("/1.1/requestSmsCode", body) == "{}")
        Inform(QStringLiteral("验证码已经发送"));
    else
        Inform(QStringLiteral("验证码获取失败"));
    // A failed request waits out the countdown too, so the button cannot be
    // used to hammer the service.
    ui.registButton_3->setEnabled(false);
    timer.start(1000);
}

void LoginDialog::CountdownTick()
{
    --countdown;
    if (countdown == 0) {
        countdown = 60;
        timer.stop();
        ui.registButton_3->setText(QStringLiteral("获取验证码"));
        ui.registButton_3->setEnabled(true);
        return;
    }
    ui.registButton_3->setText(
        QStringLiteral("重新获取:") + QString::number(countdown) + QStringLiteral("s"));
}

void LoginDialog::OnRegist()
{
    const QString phone = ui.phone_lineEdit_2->text();
    if (!PhoneNumberPasses(phone))
        return;
    const QString code = ui.lineEdit_5->text();
    if (code.isEmpty()) {
        Warn(QStringLiteral("warn"), QStringLiteral("请输入验证码!"));
        return;
    }
    Json::Value body;
    body["mobilePhoneNumber"] = phone.toStdString();
    if (Utf8ToAnsi(CloudPost("/1.1/verifySmsCode/" + code.toStdString(), body)) == "{}")
        RegistByPhoneNo();
    else
        Warn(QStringLiteral("info"), QStringLiteral("验证码错误!"));
}

void LoginDialog::RegistByPhoneNo()
{
    const QString phone = ui.phone_lineEdit_2->text();
    const QString password = ui.lineEdit_4->text();
    if (password.isEmpty()) {
        Warn(QStringLiteral("warn"), QStringLiteral("密码不能为空!"));
        return;
    }
    Json::Value body;
    body["username"] = phone.toStdString();
    body["phone"] = phone.toStdString();
    body["password"] = password.toStdString();
    AcceptSession(CloudPost("/1.1/users", body), QStringLiteral("请求错误!"), QStringLiteral("注册成功!"),
        QStringLiteral("注册失败!"));
}

bool LoginDialog::LoadConfigFile()
{
    std::string text;
    bool complete = false;
    if (!ReadConfigText(kConfigFile, text, complete))
        return false;
    Json::Value document;
    if (!complete) {
        WriteLog(LogError, "%s 超过%ld字节,不予读取", kConfigFile, static_cast<long>(kMaxConfigBytes));
        return true;
    }
    if (!ParseJson(text, document)) {
        WriteLog(LogError, "%s 不是可读的JSON,不予读取", kConfigFile);
        return true; // nothing of it filled in, however much was read
    }
    if (!document.isObject())
        return true; // not ours: like an empty file
    const bool hasUser = document.isMember("user");
    const bool hasPwd = document.isMember("pwd");
    if ((hasUser && !IsRememberedText(document["user"])) || (hasPwd && !IsRememberedText(document["pwd"])))
        return true;
    if (hasUser) {
        rememberedUser = document["user"].asString();
        userLoaded = true;
    }
    if (hasPwd) {
        rememberedPwd = document["pwd"].asString();
        pwdLoaded = true;
    }
    return true;
}

bool LoginDialog::SaveConfigFile()
{
    Json::Value root;
    if (ui.user_check->isChecked())
        root["user"] = ui.phone_lineEdit->text().toStdString();
    if (ui.pwd_check->isChecked())
        root["pwd"] = ui.sec_lineEdit->text().toStdString();
    Json::StyledWriter writer;
    const std::string text = writer.write(root);

    // Written beside the file and renamed over it only once complete, so a
    // full disk or a crash midway leaves the choices of the last time.
    const std::string temp = std::string(kConfigFile) + ".tmp";
    namespace fs = std::filesystem;
    std::error_code ec;
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
        WriteLog(LogError, "%s 无法创建,登录选择未保存", temp.c_str());
        return false;
    }
    // The file may hold a password: readable by its owner only, also when an
    // earlier version of it was more open. Narrowed while it is still empty,
    // and never through a link to somewhere else.
    fs::permissions(temp, fs::perms::owner_read | fs::perms::owner_write,
        fs::perm_options::replace | fs::perm_options::nofollow, ec);
    out << text;
    out.close();
    if (out.fail() || !platform::RenameReplacing(temp, kConfigFile)) {
        WriteLog(LogError, "%s 写入失败,登录选择未保存", kConfigFile);
        fs::remove(temp, ec);
        return false;
    }
    return true;
}
