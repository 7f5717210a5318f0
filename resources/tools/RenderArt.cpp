// Build-time tool: renders one of our SVG drawings into the bitmap the application loads.
//   render-art <in.svg> <out.png|out.gif> <width> <height> [indexed]
// "indexed" stores a PNG with a palette of at most 256 colours. A GIF is always indexed, with the
// transparent parts of the drawing as its transparent colour (Qt reads GIF but does not write it,
// so the few lines of the format are written here).
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

namespace {

void Put16(QByteArray& out, int value) {
    out.append(static_cast<char>(value & 0xFF));
    out.append(static_cast<char>((value >> 8) & 0xFF));
}

// GIF89a with one image. The pixels are coded as plain 9-bit LZW literals with a clear code
// before the decoder's table could grow past 9 bits: larger than a compressing coder's output,
// and simple enough to be plainly right.
QByteArray EncodeGif(const QImage& argb) {
    QImage opaque = argb.convertToFormat(QImage::Format_RGB32);
    QImage indexed =
        opaque.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
    QList<QRgb> colours = indexed.colorTable();
    while (colours.size() > 255) {
        colours.removeLast();
    }
    const int transparent =
        static_cast<int>(colours.size());  // one entry after the drawing's colours
    QByteArray out("GIF89a");
    Put16(out, argb.width());
    Put16(out, argb.height());
    out.append(static_cast<char>(0xF7));  // global table of 256 entries, 8 bits of colour
    out.append('\0');
    out.append('\0');
    for (int i = 0; i < 256; ++i) {
        const QRgb c = i < colours.size() ? colours[i] : qRgb(255, 255, 255);
        out.append(static_cast<char>(qRed(c)));
        out.append(static_cast<char>(qGreen(c)));
        out.append(static_cast<char>(qBlue(c)));
    }
    out.append("\x21\xF9\x04\x01\x00\x00", 6);  // graphic control: a transparent colour
    out.append(static_cast<char>(transparent));
    out.append('\0');
    out.append('\x2C');
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, argb.width());
    Put16(out, argb.height());
    out.append('\0');
    constexpr int kMinCodeSize = 8;
    constexpr int kClear = 1 << kMinCodeSize;
    constexpr int kEnd = kClear + 1;
    constexpr int kLiteralsPerClear = 254;
    out.append(static_cast<char>(kMinCodeSize));

    QByteArray data;
    quint32 bits = 0;
    int bitCount = 0;
    auto putCode = [&](int code) {
        bits |= static_cast<quint32>(code) << bitCount;
        bitCount += kMinCodeSize + 1;
        while (bitCount >= 8) {
            data.append(static_cast<char>(bits & 0xFF));
            bits >>= 8;
            bitCount -= 8;
        }
    };
    int sinceClear = kLiteralsPerClear;
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            if (sinceClear == kLiteralsPerClear) {
                putCode(kClear);
                sinceClear = 0;
            }
            const int index = qAlpha(argb.pixel(x, y)) < 128
                                  ? transparent
                                  : std::min(indexed.pixelIndex(x, y), 254);
            putCode(index);
            ++sinceClear;
        }
    }
    putCode(kEnd);
    if (bitCount > 0) {
        data.append(static_cast<char>(bits & 0xFF));
    }
    for (qsizetype at = 0; at < data.size(); at += 255) {
        const auto block = data.mid(at, 255);
        out.append(static_cast<char>(block.size()));
        out.append(block);
    }
    out.append('\0');
    out.append('\x3B');
    return out;
}

}  // namespace

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
    QImage image(QString(argv[3]).toInt(), QString(argv[4]).toInt(),
                 QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    const QString out = QString::fromLocal8Bit(argv[2]);
    if (out.endsWith(".gif")) {
        QFile file(out);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(EncodeGif(image.convertToFormat(QImage::Format_ARGB32))) < 0) {
            std::fprintf(stderr, "render-art: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (argc > 5 && QString(argv[5]) == "indexed") {
        image =
            image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
    }
    if (!image.save(out)) {
        std::fprintf(stderr, "render-art: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
