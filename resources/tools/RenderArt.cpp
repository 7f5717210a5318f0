// Build-time tool: renders one of our SVG drawings into the bitmap the application loads.
//   render-art <in.svg> <out.png> <width> <height> [indexed]
// "indexed" stores the picture with a palette of at most 256 colours.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: render-art <in.svg> <out.png> <width> <height> [indexed]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "render-art: cannot read %s\n", argv[1]);
        return 1;
    }
    QImage image(QString(argv[3]).toInt(), QString(argv[4]).toInt(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    if (argc > 5 && QString(argv[5]) == "indexed") {
        image = image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
    }
    if (!image.save(QString::fromLocal8Bit(argv[2]))) {
        std::fprintf(stderr, "render-art: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
