// The baseline for the start-up benchmark: a bare browser view loading the
// same page, printing one line when the first load has finished.
#include <QApplication>
#include <QWebEngineView>

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QWebEngineView view;
    QObject::connect(&view, &QWebEngineView::loadFinished, [] {
        fprintf(stderr, "Progresso... FINISH\n");
        fflush(stderr);
    });
    view.resize(271, 420);
    view.load(QUrl(QString::fromLocal8Bit(argv[1])));
    view.show();
    return app.exec();
}
