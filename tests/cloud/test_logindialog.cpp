#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "boxwatcher.h"
#include "cloudfixture.h"
#include "logindialog.h"

struct WatchedLoginDialog : LoginDialog {
    using LoginDialog::CountdownLeft;
    using LoginDialog::CountdownTimer;
};

namespace
{

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

mode_t Mode(const std::string& path)
{
    struct stat st {
    };
    stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

class LoginDialogTest : public CloudFixture
{
protected:
    template <typename T> T* W(LoginDialog& d, const char* name)
    {
        T* w = d.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QPushButton* Button(LoginDialog& d, const char* name) { return W<QPushButton>(d, name); }
    QLineEdit* Edit(LoginDialog& d, const char* name) { return W<QLineEdit>(d, name); }
    QCheckBox* Check(LoginDialog& d, const char* name) { return W<QCheckBox>(d, name); }

    void Login(LoginDialog& d, const QString& phone, const QString& pwd)
    {
        Edit(d, "phone_lineEdit")->setText(phone);
        Edit(d, "sec_lineEdit")->setText(pwd);
        Button(d, "pushButton")->click();
    }

    std::string RegisterPageBoxes(
        LoginDialog& d, const QString& phone, const QString& code, const char* button)
    {
        Edit(d, "phone_lineEdit_2")->setText(phone);
        Edit(d, "lineEdit_5")->setText(code);
        boxes.Clear();
        Button(d, button)->click();
        return boxes.Seen().empty() ? std::string() : boxes.Seen().back();
    }

    // A user the service knows, made through the service's own calls.
    void MakeUser(const std::string& phone, const std::string& password)
    {
        Json::Value body;
        body["username"] = phone;
        body["phone"] = phone;
        body["password"] = password;
        ASSERT_NE(CloudPost("/1.1/users", body).find("sessionToken"), std::string::npos);
        server.ClearRequests();
    }

    BoxWatcher boxes;
};

TEST_F(LoginDialogTest, FormHoldsEveryWidgetWithItsTextsFontsAndStyles)
{
    LoginDialog d;
    EXPECT_EQ(d.objectName(), "Dialog");
    EXPECT_EQ(d.windowTitle(), QStringLiteral("登录"));
    EXPECT_EQ(d.size(), QSize(591, 312));
    EXPECT_EQ(d.styleSheet(), "background-color: rgb(244, 255, 231);");
    auto* tabs = W<QTabWidget>(d, "tabWidget");
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_TRUE(tabs->tabBar()->isHidden());
    EXPECT_EQ(tabs->styleSheet(), " QTabwidget::border:none;");
    EXPECT_EQ(tabs->font().family(), QStringLiteral("宋体"));
    EXPECT_EQ(tabs->font().pointSize(), 11);
    EXPECT_EQ(tabs->tabText(1), "Tab 2");

    const QString blue = QStringLiteral(
        "border:none;\ntext-decoration: underline;\ncolor: rgb(0, 0, 255);\nfont: 11pt \"宋体\";");
    struct Case {
        const char* name;
        QString text;
        int pointSize; // 0: not checked
        bool underline;
        QString style;
    };
    const Case cases[] = {
        { "label_7", QStringLiteral("手机号 :"), 11, false, "" },
        { "label_8", QStringLiteral("密  码 :"), 11, false, "" },
        { "label_6", QStringLiteral("手机号: "), 11, false, "" },
        { "label_5", QStringLiteral("验证码 :"), 11, false, "" },
        { "label_4", QStringLiteral("密  码 :"), 11, false, "" },
        { "user_check", QStringLiteral("记住账号"), 0, false, "" },
        { "pwd_check", QStringLiteral("记住密码"), 0, false, "" },
        { "registButton", QStringLiteral("注 册 账 号"), 11, true, blue },
        { "pushButton", QStringLiteral("登 录"), 11, false, "background-color: rgb(117, 191, 255);" },
        { "registButton_3", QStringLiteral("获取验证码"), 10, true,
            "border:none;\ntext-decoration: underline;" },
        { "registButton_2", QStringLiteral("返 回 登 陆"), 11, true, blue },
        { "okButton_2", QStringLiteral("注   册"), 11, false, "background-color: rgb(117, 191, 255);" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto* w = d.findChild<QWidget*>(c.name);
        ASSERT_NE(w, nullptr);
        QString text = w->property("text").toString();
        EXPECT_EQ(text, c.text);
        if (c.pointSize) {
            EXPECT_EQ(w->font().family(), QStringLiteral("宋体"));
            EXPECT_EQ(w->font().pointSize(), c.pointSize);
            EXPECT_EQ(w->font().underline(), c.underline);
        }
        EXPECT_EQ(w->styleSheet(), c.style);
    }
    for (const char* name : { "label", "label_2", "label_3", "label_10", "label_9" }) {
        SCOPED_TRACE(name);
        QLabel* icon = W<QLabel>(d, name);
        EXPECT_TRUE(icon->text().isEmpty());
    }
    for (const char* name :
        { "phone_lineEdit", "sec_lineEdit", "phone_lineEdit_2", "lineEdit_5", "lineEdit_4" })
        EXPECT_EQ(Edit(d, name)->minimumHeight(), 25) << name;
    EXPECT_EQ(Edit(d, "sec_lineEdit")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Edit(d, "lineEdit_4")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Edit(d, "phone_lineEdit")->echoMode(), QLineEdit::Normal);
    QPushButton* ok = Button(d, "okButton_2");
    EXPECT_EQ(ok->minimumSize(), QSize(80, 30));
    EXPECT_EQ(ok->maximumSize(), QSize(150, 30));
    EXPECT_EQ(ok->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    EXPECT_EQ(ok->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    EXPECT_EQ(Button(d, "registButton")->minimumSize(), QSize(80, 30));
    EXPECT_EQ(Button(d, "pushButton")->minimumHeight(), 30);

    // The links switch pages and titles; closing returns to the login page.
    Button(d, "registButton")->click();
    EXPECT_EQ(tabs->currentIndex(), 1);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("注册新用户"));
    Button(d, "registButton_2")->click();
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("登录"));
    d.show();
    Button(d, "registButton")->click();
    d.close();
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("登录"));
}

TEST_F(LoginDialogTest, PhoneNumberRule)
{
    struct Case {
        const char* phone;
        bool valid;
    };
    const Case cases[] = {
        { "13912345678", true },
        { "15012345678", true },
        { "18912345678", true },
        { "14512345678", true },
        { "16612345678", true },
        { "17812345678", true },
        { "19812345678", true },
        { "1391234567", false },
        { "139123456789", false },
        { "12912345678", false },
        { "139 2345678", false },
        { " 13912345678", false },
        { "14612345678", false },
        { "17212345678", false },
        { "19712345678", false },
        { "23912345678", false },
        { "1391234567a", false },
        { "", false },
    };
    for (const Case& c : cases)
        EXPECT_EQ(LoginDialog::IsValidPhoneNumber(QString::fromLatin1(c.phone)), c.valid) << c.phone;

    // Refused numbers never reach the service, on any of the three buttons.
    LoginDialog d;
    for (const char* phone : { "1391234567", "139123456789", "12912345678", "139 2345678" }) {
        SCOPED_TRACE(phone);
        boxes.Clear();
        Login(d, phone, "pw");
        EXPECT_EQ(RegisterPageBoxes(d, phone, "123456", "okButton_2"), "warn|请输入正确的手机号码!");
        EXPECT_EQ(RegisterPageBoxes(d, phone, "", "registButton_3"), "warn|请输入正确的手机号码!");
    }
    EXPECT_EQ(server.Requests().size(), 0u);
    EXPECT_FALSE(std::filesystem::exists(LoginDialog::kConfigFile));
    boxes.Clear();
    Login(d, "13912345678", "pw");
    EXPECT_EQ(OnlyRequest()["target"].asString(), "/1.1/login");
}

TEST_F(LoginDialogTest, InputChecksComeInOrderEachWithItsBox)
{
    LoginDialog d;
    struct LoginCase {
        const char* phone;
        const char* pwd;
        const char* box;
    };
    for (const LoginCase& c :
        { LoginCase { "", "", "warn|手机号码不能为空!" }, LoginCase { "", "pw", "warn|手机号码不能为空!" },
            LoginCase { "abc", "", "warn|请输入正确的手机号码!" },
            LoginCase { "13912345678", "", "warn|密码不能为空!" } }) {
        SCOPED_TRACE(std::string(c.phone) + "/" + c.pwd);
        boxes.Clear();
        Login(d, c.phone, c.pwd);
        EXPECT_EQ(boxes.Seen(), std::vector<std::string> { c.box });
        EXPECT_EQ(boxes.Boxes().back().icon, QMessageBox::Warning);
    }
    struct RegisterCase {
        const char* phone;
        const char* code;
        const char* button;
        const char* box;
    };
    for (const RegisterCase& c : { RegisterCase { "", "", "okButton_2", "warn|手机号码不能为空!" },
             RegisterCase { "", "1", "okButton_2", "warn|手机号码不能为空!" },
             RegisterCase { "139", "", "okButton_2", "warn|请输入正确的手机号码!" },
             RegisterCase { "13912345678", "", "okButton_2", "warn|请输入验证码!" },
             RegisterCase { "", "", "registButton_3", "warn|手机号码不能为空!" } }) {
        SCOPED_TRACE(std::string(c.phone) + "/" + c.code + "/" + c.button);
        EXPECT_EQ(RegisterPageBoxes(d, c.phone, c.code, c.button), c.box);
        EXPECT_EQ(boxes.Seen().size(), 1u);
    }
    EXPECT_EQ(server.Requests().size(), 0u);
    EXPECT_TRUE(Button(d, "registButton_3")->isEnabled()); // refused before the countdown
    EXPECT_FALSE(std::filesystem::exists(LoginDialog::kConfigFile)); // stored only once the checks pass
}

TEST_F(LoginDialogTest, RemembersTheChosenFieldsOwnerOnly)
{
    struct Case {
        bool user;
        bool pwd;
        const char* file;
    };
    const Case cases[] = {
        { false, false, "null\n" },
        { true, false, "{\n   \"user\" : \"13912345678\"\n}\n" },
        { false, true, "{\n   \"pwd\" : \"pw 1\"\n}\n" },
        { true, true, "{\n   \"pwd\" : \"pw 1\",\n   \"user\" : \"13912345678\"\n}\n" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("user ") + (c.user ? "on" : "off") + ", pwd " + (c.pwd ? "on" : "off"));
        WriteFile(LoginDialog::kConfigFile, "stale");
        std::filesystem::permissions(LoginDialog::kConfigFile, std::filesystem::perms(0644));
        {
            LoginDialog d;
            Check(d, "user_check")->setChecked(c.user);
            Check(d, "pwd_check")->setChecked(c.pwd);
            boxes.Clear();
            Login(d, "13912345678", "pw 1"); // unknown user: the choices are stored all the same
            EXPECT_EQ(boxes.Seen(), std::vector<std::string> { "info|登录失败!" });
        }
        EXPECT_EQ(ReadFile(LoginDialog::kConfigFile), c.file);
        EXPECT_EQ(Mode(LoginDialog::kConfigFile), 0600u);

        LoginDialog again;
        EXPECT_EQ(Check(again, "user_check")->isChecked(), c.user);
        EXPECT_EQ(Check(again, "pwd_check")->isChecked(), c.pwd);
        EXPECT_EQ(Edit(again, "phone_lineEdit")->text(), c.user ? "13912345678" : "");
        EXPECT_EQ(Edit(again, "sec_lineEdit")->text(), c.pwd ? "pw 1" : "");
    }
    std::filesystem::remove(LoginDialog::kConfigFile);
    LoginDialog fresh;
    Check(fresh, "user_check")->setChecked(true);
    Login(fresh, "13912345678", "pw");
    EXPECT_EQ(Mode(LoginDialog::kConfigFile), 0600u);
}

TEST_F(LoginDialogTest, AFailedSaveKeepsTheChoicesOfTheLastTime)
{
    const std::string kept = "{\n   \"user\" : \"13912345678\"\n}\n";
    const std::string temp = std::string(LoginDialog::kConfigFile) + ".tmp";
    struct Case {
        const char* what;
        bool full; // the temporary file lands on a full disk, else it cannot be made
    };
    for (const Case& c : { Case { "disk full", true }, Case { "cannot be made", false } }) {
        SCOPED_TRACE(c.what);
        WriteFile(LoginDialog::kConfigFile, kept);
        if (c.full)
            std::filesystem::create_symlink("/dev/full", temp);
        else
            std::filesystem::create_directory(temp);
        LoginDialog d;
        Check(d, "pwd_check")->setChecked(true);
        boxes.Clear();
        Login(d, "13912345678", "new password");
        EXPECT_EQ(boxes.Seen(), std::vector<std::string> { "info|登录失败!" }); // the login goes on
        EXPECT_EQ(ReadFile(LoginDialog::kConfigFile), kept);
        EXPECT_EQ(std::filesystem::exists(temp), !c.full);
        std::filesystem::remove(temp);
    }
}

TEST_F(LoginDialogTest, RememberedFileOfUnexpectedShapeIsIgnored)
{
    struct Case {
        std::string file;
        bool user;
        const char* userText;
        bool pwd;
        const char* pwdText;
    };
    const Case cases[] = {
        { std::string(1001, '['), false, "", false, "" },
        { "{\"user\":\"139\",\"pwd\":", false, "", false, "" },
        { "{\"user\":\"139\"}" + std::string(64 * 1024, ' '), false, "", false, "" },
        { "{\"user\":\"139\"}" + std::string(64 * 1024 - 14, ' '), true, "139", false, "" },
        { "", false, "", false, "" },
        { "not json", false, "", false, "" },
        { "[\"13912345678\"]", false, "", false, "" },
        { "\"13912345678\"", false, "", false, "" },
        { "{\"user\":true,\"pwd\":false}", true, "true", true, "false" },
        { "{\"user\":null}", true, "", false, "" },
        { "{\"user\":\"139\",\"pwd\":[1]}", false, "", false, "" },
        { "{\"user\":{\"a\":1}}", false, "", false, "" },
        { "{\"pwd\":12}", false, "", false, "" },
        { "{\"user\":\"\u4e2d\"}", true, "\u4e2d", false, "" },
        { "{\"other\":1}", false, "", false, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.substr(0, 20));
        WriteFile(LoginDialog::kConfigFile, c.file);
        LoginDialog d;
        EXPECT_EQ(Check(d, "user_check")->isChecked(), c.user);
        EXPECT_EQ(Edit(d, "phone_lineEdit")->text(), QString::fromUtf8(c.userText));
        EXPECT_EQ(Check(d, "pwd_check")->isChecked(), c.pwd);
        EXPECT_EQ(Edit(d, "sec_lineEdit")->text(), QString::fromUtf8(c.pwdText));
    }
}

TEST_F(LoginDialogTest, CodeButtonCountsDownSixtySecondsEvenAfterAFailure)
{
    Json::Value fault = Fault("/1.1/requestSmsCode", "{\"code\":1,\"error\":\"busy\"}");
    fault["status"] = 503;
    server.AddFault(fault);
    WatchedLoginDialog d;
    QPushButton* button = Button(d, "registButton_3");
    EXPECT_EQ(RegisterPageBoxes(d, "13912345678", "", "registButton_3"), "info|验证码获取失败");
    EXPECT_EQ(boxes.Boxes().back().icon, QMessageBox::Information);
    QTimer& timer = d.CountdownTimer();
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.interval(), 1000);
    EXPECT_FALSE(button->isEnabled());
    EXPECT_EQ(button->text(), QStringLiteral("获取验证码")); // unchanged until the first tick

    // Only the test runs the clock faster; every tick is observed.
    std::vector<QString> texts;
    std::vector<bool> enabled;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        texts.push_back(button->text());
        enabled.push_back(button->isEnabled());
    });
    timer.setInterval(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !timer.isActive(); }, 10000));
    ASSERT_EQ(texts.size(), 60u);
    for (int i = 0; i < 59; ++i) {
        EXPECT_EQ(texts[i], QStringLiteral("重新获取:%1s").arg(59 - i));
        EXPECT_FALSE(enabled[i]);
    }
    EXPECT_EQ(texts[59], QStringLiteral("获取验证码"));
    EXPECT_TRUE(enabled[59]);
    EXPECT_EQ(d.CountdownLeft(), 60);

    // A successful request starts the same countdown.
    EXPECT_EQ(RegisterPageBoxes(d, "13912345678", "", "registButton_3"), "info|验证码已经发送");
    EXPECT_TRUE(timer.isActive());
    EXPECT_FALSE(button->isEnabled());
}

TEST_F(LoginDialogTest, RegisterWithTheServiceCodeThenLogIn)
{
    WatchedLoginDialog d;
    QSignalSpy spy(&d, &LoginDialog::login_sig);
    d.need_changge = true;
    d.show();
    Button(d, "registButton")->click();
    EXPECT_EQ(RegisterPageBoxes(d, "13912345678", "", "registButton_3"), "info|验证码已经发送");
    const std::string code = server.LastSmsCode("13912345678");
    ASSERT_EQ(code.size(), 6u);

    // A wrong code: the box says "info" although it is a warning.
    Edit(d, "lineEdit_4")->setText("pw 1");
    const std::string wrong = code == "111111" ? "222222" : "111111";
    EXPECT_EQ(
        RegisterPageBoxes(d, "13912345678", QString::fromStdString(wrong), "okButton_2"), "info|验证码错误!");
    EXPECT_EQ(boxes.Boxes().back().icon, QMessageBox::Warning);
    EXPECT_TRUE(d.isVisible());

    server.ClearRequests();
    EXPECT_EQ(
        RegisterPageBoxes(d, "13912345678", QString::fromStdString(code), "okButton_2"), "info|注册成功!");
    Json::Value requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["target"].asString(), "/1.1/verifySmsCode/" + code);
    EXPECT_EQ(requests[0]["body"].asString(), "{\"mobilePhoneNumber\":\"13912345678\"}\n");
    EXPECT_EQ(requests[1]["target"].asString(), "/1.1/users");
    EXPECT_EQ(requests[1]["body"].asString(),
        "{\"password\":\"pw 1\",\"phone\":\"13912345678\",\"username\":\"13912345678\"}\n");
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toBool(), true);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(W<QTabWidget>(d, "tabWidget")->currentIndex(), 0);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("登录"));

    // The same number again (once the countdown is over): the service refuses it.
    d.CountdownTimer().stop();
    Button(d, "registButton_3")->setEnabled(true);
    server.ClearRequests();
    EXPECT_EQ(RegisterPageBoxes(d, "13912345678", "", "registButton_3"), "info|验证码已经发送");
    const std::string second = server.LastSmsCode("13912345678");
    EXPECT_EQ(
        RegisterPageBoxes(d, "13912345678", QString::fromStdString(second), "okButton_2"), "info|注册失败!");
    EXPECT_EQ(spy.count(), 1);

    // Log in with the new account; the window's flag travels in the signal.
    d.need_changge = false;
    d.show();
    boxes.Clear();
    Login(d, "13912345678", "wrong");
    EXPECT_EQ(boxes.Seen(), std::vector<std::string> { "info|登录失败!" });
    EXPECT_TRUE(d.isVisible());
    boxes.Clear();
    Login(d, "13912345678", "pw 1");
    EXPECT_EQ(boxes.Seen(), std::vector<std::string> { "info|登录成功!" });
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(1).at(0).toBool(), false);
    EXPECT_FALSE(d.isVisible());
    d.show();
    EXPECT_EQ(Edit(d, "phone_lineEdit")->text(), "13912345678");
    EXPECT_EQ(Edit(d, "sec_lineEdit")->text(), "pw 1");
}

TEST_F(LoginDialogTest, EmptyPasswordIsRefusedOnlyAfterTheCodeWasVerified)
{
    LoginDialog d;
    RegisterPageBoxes(d, "13912345678", "", "registButton_3");
    const std::string code = server.LastSmsCode("13912345678");
    server.ClearRequests();
    Edit(d, "lineEdit_4")->clear();
    EXPECT_EQ(RegisterPageBoxes(d, "13912345678", QString::fromStdString(code), "okButton_2"),
        "warn|密码不能为空!");
    Json::Value requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["target"].asString(), "/1.1/verifySmsCode/" + code);
}

TEST_F(LoginDialogTest, BadRepliesEndInTheirFailureBoxes)
{
    MakeUser("13912345678", "pw");
    struct Case {
        const char* what;
        std::string body;
        int repeat;
        const char* loginBox;
        const char* registerBox;
    };
    const std::string huge = std::string(1 << 20, ' ');
    const Case cases[] = {
        { "html", "<html><body>502 Bad Gateway</body></html>", 1, "warn|未知错误!", "warn|请求错误!" },
        { "truncated", "{\"sessionToken\":\"abc", 1, "warn|未知错误!", "warn|请求错误!" },
        { "array", "[{\"sessionToken\":\"abc\"}]", 1, "warn|未知错误!", "warn|请求错误!" },
        { "text", "\"sessionToken\"", 1, "warn|未知错误!", "warn|请求错误!" },
        { "number", "42", 1, "warn|未知错误!", "warn|请求错误!" },
        { "empty", "", 1, "warn|未知错误!", "warn|请求错误!" },
        { "no token", "{\"objectId\":1}", 1, "info|登录失败!", "info|注册失败!" },
        { "null token", "{\"sessionToken\":null}", 1, "info|登录成功!", "info|注册成功!" },
        { "huge", huge, 16, "warn|未知错误!", "warn|请求错误!" },
        { "1,001 levels", std::string(1001, '['), 1, "warn|未知错误!", "warn|请求错误!" },
        // Cut at the reply bound this would parse as a success.
        { "token and padding", "{\"sessionToken\":\"abc\"}" + std::string(2 << 20, ' '), 1, "warn|未知错误!",
            "warn|请求错误!" },
    };
    WatchedLoginDialog d;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Json::Value fault = Fault("/1.1/login", c.body);
        fault["repeat"] = c.repeat;
        fault["contentType"] = "text/html";
        server.AddFault(fault);
        boxes.Clear();
        Login(d, "13912345678", "pw");
        EXPECT_EQ(boxes.Seen(), std::vector<std::string> { c.loginBox });

        // Registration: the code is verified for real, the user store misbehaves.
        RegisterPageBoxes(d, "13912345678", "", "registButton_3");
        d.CountdownTimer().stop();
        Button(d, "registButton_3")->setEnabled(true);
        Edit(d, "lineEdit_4")->setText("pw");
        fault["path"] = "/1.1/users";
        server.AddFault(fault);
        EXPECT_EQ(RegisterPageBoxes(d, "13912345678",
                      QString::fromStdString(server.LastSmsCode("13912345678")), "okButton_2"),
            c.registerBox);
    }
    // The SMS calls compare the reply exactly.
    server.AddFault(Fault("/1.1/requestSmsCode", "{ }"));
    EXPECT_EQ(RegisterPageBoxes(d, "13912345678", "", "registButton_3"), "info|验证码获取失败");
    server.AddFault(Fault("/1.1/verifySmsCode/", "{}\n"));
    EXPECT_EQ(RegisterPageBoxes(d, "13912345678", "123456", "okButton_2"), "info|验证码错误!");
}

TEST_F(LoginDialogTest, UnreachableServiceGivesTheEmptyReplyBoxes)
{
    LoginDialog d;
    server.Stop();
    boxes.Clear();
    Login(d, "13912345678", "pw");
    EXPECT_EQ(boxes.Seen(), std::vector<std::string> { "warn|未知错误!" });
    EXPECT_EQ(RegisterPageBoxes(d, "13912345678", "", "registButton_3"), "info|验证码获取失败");
    EXPECT_EQ(RegisterPageBoxes(d, "13912345678", "123456", "okButton_2"), "info|验证码错误!");
}

} // namespace
