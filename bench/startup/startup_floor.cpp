// The floor of the terminal's start-up, measured as the terminal is
// (bench/endtoend/bench_endtoend.py startup --floor): linked with the same
// libraries, it shows a splash with the same picture, texts and pauses, then
// a window with a 5,000-row table of 24 columns, and reports on standard
// output when its event loop runs. Whatever the terminal takes beyond this
// is its own.
//
// With --busy the window also has a status bar whose one label shows the
// busy animation, Resources/rotate.gif in a QMovie that keeps its frames, as
// the terminal's does: what a still board costs at least while it runs
// (bench_endtoend.py ingest --floor).
//
//   build/bin/startup_floor [--busy]   (from a folder with Resources/)

#include <chrono>
#include <cstdio>
#include <thread>

#include <QApplication>
#include <QColor>
#include <QLabel>
#include <QMainWindow>
#include <QMovie>
#include <QPixmap>
#include <QSplashScreen>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>

namespace
{

void Pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const bool busy = app.arguments().contains(QStringLiteral("--busy"));
    QPixmap picture(QStringLiteral("Resources/111.png"));
    QSplashScreen splash(picture);
    splash.show();
    const QColor colour(80, 80, 255, 255);
    splash.showMessage(QStringLiteral("     正在加载配置文件....."), Qt::AlignBottom, colour);
    Pause(1000);
    splash.showMessage(QStringLiteral("     正在连接行情服务器......"), Qt::AlignBottom, colour);
    Pause(1000);
    splash.showMessage(QStringLiteral("     服务器连接成功! 初始化数据......"), Qt::AlignBottom, colour);
    Pause(500);

    constexpr int kRows = 5000;
    constexpr int kColumns = 24;
    QStandardItemModel model(0, kColumns);
    for (int row = 0; row < kRows; ++row) {
        QList<QStandardItem*> items;
        for (int column = 0; column < kColumns; ++column)
            items.append(new QStandardItem(QString::number(row * kColumns + column)));
        model.appendRow(items);
    }
    QMainWindow window;
    auto* view = new QTableView(&window);
    view->setModel(&model);
    window.setCentralWidget(view);
    if (busy) {
        auto* label = new QLabel;
        label->setMinimumSize(20, 20);
        auto* movie = new QMovie(QStringLiteral("Resources/rotate.gif"), QByteArray(), label);
        movie->setCacheMode(QMovie::CacheAll);
        label->setMovie(movie);
        movie->start();
        window.statusBar()->addPermanentWidget(label, 0);
    }
    window.resize(1600, 900);
    window.show();
    splash.finish(&window);
    QTimer::singleShot(0, [] {
        std::printf("start-up done, event loop running\n");
        std::fflush(stdout);
    });
    return app.exec();
}
