// A window with one labelled button, for accessibility tests. Prints the button's
// screen rectangle ("x y width height") once it is shown, then runs until killed.

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Brindlow accessibility test");
    window.setGeometry(100, 80, 400, 300);
    QPushButton button("Save", &window);
    button.setGeometry(60, 40, 160, 50);
    window.show();
    QTimer::singleShot(300, [&] {
        const QPoint origin = button.mapToGlobal(QPoint(0, 0));
        std::printf("%d %d %d %d\n", origin.x(), origin.y(), button.width(), button.height());
        std::fflush(stdout);
    });
    return app.exec();
}
