// Draws the program's built-in artwork (start-up logo, tray icon, exit icon) into the folder named
// on the command line; the results are kept in app/gui/art and compiled into the program from
// there. With --icons it draws the desktop's application icons instead, one hicolor size folder
// each, kept in packaging/icons/hicolor for the package. Regenerate with:
//   QT_QPA_PLATFORM=offscreen build/bin/vistrel-make-artwork app/gui/art
//   QT_QPA_PLATFORM=offscreen build/bin/vistrel-make-artwork --icons packaging/icons/hicolor
// Everything is drawn from fixed numbers and named fonts, so a run on the same machine gives the
// same images again.
#include <QDir>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The GUI draws a 10 pixel progress gauge centred in this band at the bottom of the logo, so the
// band stays plain.
constexpr int kLogoWidth = 540;
constexpr int kLogoHeight = 320;
constexpr int kGaugeBand = 40;

const QColor kNavyDeep(0x07, 0x12, 0x26);
const QColor kNavy(0x0e, 0x25, 0x4a);
const QColor kNavyLight(0x1b, 0x45, 0x80);
const QColor kAccent(0x4f, 0xb3, 0xff);
const QColor kAccentSoft(0x9f, 0xd4, 0xff);
const QColor kBezel(0x2a, 0x37, 0x4b);
const QColor kBezelEdge(0x5d, 0x71, 0x8f);

QFont LogoFont(const char* family, qreal pixelSize, QFont::Weight weight) {
  QFont font(QString::fromLatin1(family));
  font.setPixelSize(static_cast<int>(pixelSize));
  font.setWeight(weight);
  // Hinting follows the machine's font settings unless pinned, and would change the shapes.
  font.setHintingPreference(QFont::PreferNoHinting);
  font.setStyleStrategy(QFont::PreferAntialias);
  return font;
}

// A camera lens seen from the front: dark barrel, glass with a blue sheen, one bright glint.
void DrawLens(QPainter& painter, QPointF centre, qreal radius) {
  painter.setPen(Qt::NoPen);
  QRadialGradient barrel(centre, radius);
  barrel.setColorAt(0.0, QColor(0x2c, 0x3a, 0x50));
  barrel.setColorAt(0.85, QColor(0x16, 0x1f, 0x2e));
  barrel.setColorAt(1.0, QColor(0x3a, 0x4c, 0x66));
  painter.setBrush(barrel);
  painter.drawEllipse(centre, radius, radius);

  const qreal ring = radius * 0.78;
  painter.setPen(QPen(QColor(0x8c, 0xa3, 0xc2), radius * 0.06));
  painter.setBrush(Qt::NoBrush);
  painter.drawEllipse(centre, ring, ring);

  const qreal glassRadius = radius * 0.62;
  QRadialGradient glass(centre + QPointF(-glassRadius * 0.3, -glassRadius * 0.3), glassRadius * 1.3);
  glass.setColorAt(0.0, QColor(0x5a, 0xc8, 0xff));
  glass.setColorAt(0.45, QColor(0x1d, 0x5e, 0xb8));
  glass.setColorAt(1.0, QColor(0x06, 0x12, 0x2a));
  painter.setPen(Qt::NoPen);
  painter.setBrush(glass);
  painter.drawEllipse(centre, glassRadius, glassRadius);

  const qreal pupil = radius * 0.24;
  painter.setBrush(QColor(0x03, 0x08, 0x14, 220));
  painter.drawEllipse(centre, pupil, pupil);

  painter.setBrush(QColor(255, 255, 255, 210));
  const QPointF glint = centre + QPointF(-radius * 0.26, -radius * 0.28);
  painter.drawEllipse(glint, radius * 0.11, radius * 0.11);
  painter.setBrush(QColor(255, 255, 255, 90));
  painter.drawEllipse(centre + QPointF(radius * 0.22, radius * 0.24), radius * 0.05,
                      radius * 0.05);
}

// Arcs spreading up and to the right of a point: the picture going out to the network.
void DrawBroadcastWaves(QPainter& painter, QPointF origin, qreal firstRadius, qreal step,
                        int count) {
  painter.setBrush(Qt::NoBrush);
  for (int i = 0; i < count; ++i) {
    const qreal r = firstRadius + step * i;
    QColor colour = kAccent;
    colour.setAlpha(230 - 55 * i);
    painter.setPen(QPen(colour, 4.0, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(QRectF(origin.x() - r, origin.y() - r, 2 * r, 2 * r), 5 * 16, 80 * 16);
  }
  painter.setPen(Qt::NoPen);
  painter.setBrush(kAccent);
  painter.drawEllipse(origin, 4.0, 4.0);
}

// The lens of the small pictures, where glass and glint would blur: a pale ring, a dark pupil and
// a white glint up and to the left. Sizes in the painter's units.
struct TFlatLens {
  qreal ring;
  qreal pupil;
  qreal glintOffset;
  qreal glint;
};
void DrawFlatLens(QPainter& painter, QPointF centre, const TFlatLens& lens) {
  painter.setBrush(QColor(0xf2, 0xf7, 0xff));
  painter.drawEllipse(centre, lens.ring, lens.ring);
  painter.setBrush(QColor(0x0b, 0x1c, 0x36));
  painter.drawEllipse(centre, lens.pupil, lens.pupil);
  painter.setBrush(QColor(255, 255, 255, 230));
  painter.drawEllipse(centre - QPointF(lens.glintOffset, lens.glintOffset), lens.glint, lens.glint);
}

struct TBezel {
  QRectF rect;
  qreal radius;
  QPen edge;
};
struct TGlass {
  QRectF rect;
  qreal radius;
  QColor top;  // the top-left corner's shade, running to the bottom-right's
  QColor bottom;
};

// A monitor's frame, lit from above, and its glass, lit from the top-left; the glass leaves the
// painter without a pen.
void DrawBezelAndGlass(QPainter& painter, const TBezel& bezel, const TGlass& glass) {
  QLinearGradient bezelShade(bezel.rect.topLeft(), bezel.rect.bottomLeft());
  bezelShade.setColorAt(0.0, QColor(0x3a, 0x4a, 0x63));
  bezelShade.setColorAt(1.0, QColor(0x1f, 0x29, 0x39));
  painter.setBrush(bezelShade);
  painter.setPen(bezel.edge);
  painter.drawRoundedRect(bezel.rect, bezel.radius, bezel.radius);
  QLinearGradient glassShade(glass.rect.topLeft(), glass.rect.bottomRight());
  glassShade.setColorAt(0.0, glass.top);
  glassShade.setColorAt(1.0, glass.bottom);
  painter.setPen(Qt::NoPen);
  painter.setBrush(glassShade);
  painter.drawRoundedRect(glass.rect, glass.radius, glass.radius);
}

void DrawMonitor(QPainter& painter, QRectF body) {
  const QPointF bottomCentre(body.center().x(), body.bottom());

  // Stand first, so the body overlaps its neck.
  QPainterPath neck;
  neck.moveTo(bottomCentre + QPointF(-14, -2));
  neck.lineTo(bottomCentre + QPointF(14, -2));
  neck.lineTo(bottomCentre + QPointF(20, 26));
  neck.lineTo(bottomCentre + QPointF(-20, 26));
  neck.closeSubpath();
  QLinearGradient neckShade(bottomCentre, bottomCentre + QPointF(0, 26));
  neckShade.setColorAt(0.0, QColor(0x1a, 0x24, 0x33));
  neckShade.setColorAt(1.0, kBezel);
  painter.setPen(Qt::NoPen);
  painter.setBrush(neckShade);
  painter.drawPath(neck);
  painter.setBrush(kBezel);
  painter.drawRoundedRect(QRectF(bottomCentre.x() - 48, bottomCentre.y() + 24, 96, 8), 4, 4);
  painter.setBrush(QColor(0x5d, 0x71, 0x8f, 120));
  painter.drawRoundedRect(QRectF(bottomCentre.x() - 46, bottomCentre.y() + 24, 92, 2), 1, 1);

  // Soft shadow under the body lifts it off the background.
  for (int i = 0; i < 6; ++i) {
    painter.setBrush(QColor(0, 0, 0, 14));
    painter.drawRoundedRect(body.adjusted(-i, -i + 4, i, i + 4), 12 + i, 12 + i);
  }

  const QRectF screen = body.adjusted(9, 9, -9, -16);
  DrawBezelAndGlass(painter, {body, 12, QPen(kBezelEdge, 1.2)},
                    {screen, 4, QColor(0x14, 0x3c, 0x78), QColor(0x06, 0x16, 0x33)});

  // A faint diagonal reflection across the glass.
  QPainterPath sheen;
  sheen.moveTo(screen.topLeft() + QPointF(screen.width() * 0.42, 0));
  sheen.lineTo(screen.topLeft() + QPointF(screen.width() * 0.70, 0));
  sheen.lineTo(screen.topLeft() + QPointF(screen.width() * 0.30, screen.height()));
  sheen.lineTo(screen.topLeft() + QPointF(screen.width() * 0.02, screen.height()));
  sheen.closeSubpath();
  painter.save();
  painter.setClipRect(screen);
  painter.setBrush(QColor(255, 255, 255, 12));
  painter.drawPath(sheen);
  painter.restore();

  // Power light on the chin of the bezel.
  painter.setBrush(QColor(0x3d, 0xd6, 0x7a));
  painter.drawEllipse(QPointF(body.center().x(), body.bottom() - 8), 1.8, 1.8);

  DrawLens(painter, screen.center(), screen.height() * 0.36);
}

QImage MakeStartupLogo() {
  QImage image(kLogoWidth, kLogoHeight, QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);

  const QRectF whole(0, 0, kLogoWidth, kLogoHeight);
  QLinearGradient sky(whole.topLeft(), whole.bottomRight());
  sky.setColorAt(0.0, kNavyLight);
  sky.setColorAt(0.55, kNavy);
  sky.setColorAt(1.0, kNavyDeep);
  painter.fillRect(whole, sky);

  // A wide, dim glow behind the monitor keeps the left half from looking flat.
  QRadialGradient glow(QPointF(140, 140), 220);
  glow.setColorAt(0.0, QColor(0x4f, 0xb3, 0xff, 60));
  glow.setColorAt(1.0, QColor(0x4f, 0xb3, 0xff, 0));
  painter.fillRect(whole, glow);

  // Fine horizontal scan lines, the screen motif, fading out to the right.
  for (int y = 6; y < kLogoHeight - kGaugeBand; y += 6) {
    QLinearGradient fade(0, 0, kLogoWidth, 0);
    fade.setColorAt(0.0, QColor(255, 255, 255, 9));
    fade.setColorAt(1.0, QColor(255, 255, 255, 0));
    painter.fillRect(QRectF(0, y, kLogoWidth, 1), fade);
  }

  const QRectF monitor(48, 72, 184, 126);
  DrawMonitor(painter, monitor);
  DrawBroadcastWaves(painter, QPointF(monitor.right() - 4, monitor.top() + 4), 16, 13, 3);

  // The name and what the product is, right of the picture.
  const qreal textLeft = 268;
  const QFont nameFont = LogoFont("DejaVu Sans", 64, QFont::Bold);
  const QFont typeFont = LogoFont("DejaVu Sans", 20, QFont::Normal);
  const QFontMetricsF nameMetrics(nameFont);
  const qreal nameBaseline = 150;

  QPainterPath name;
  name.addText(QPointF(textLeft, nameBaseline), nameFont, QStringLiteral("Vistrel"));
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0, 0, 0, 70));
  painter.drawPath(name.translated(0, 2.5));
  QLinearGradient nameShade(0, nameBaseline - nameMetrics.ascent(), 0, nameBaseline);
  nameShade.setColorAt(0.0, QColor(0xff, 0xff, 0xff));
  nameShade.setColorAt(1.0, QColor(0xd4, 0xe6, 0xfa));
  painter.setBrush(nameShade);
  painter.drawPath(name);

  const qreal nameWidth = nameMetrics.horizontalAdvance(QStringLiteral("Vistrel"));
  const qreal ruleY = nameBaseline + 18;
  QLinearGradient rule(textLeft, 0, textLeft + nameWidth, 0);
  rule.setColorAt(0.0, kAccent);
  rule.setColorAt(1.0, QColor(0x4f, 0xb3, 0xff, 0));
  painter.fillRect(QRectF(textLeft + 2, ruleY, nameWidth, 2), rule);

  QFont spacedType = typeFont;
  spacedType.setLetterSpacing(QFont::AbsoluteSpacing, 3.0);
  painter.setFont(spacedType);
  painter.setPen(kAccentSoft);
  painter.drawText(QPointF(textLeft + 3, ruleY + 32), QStringLiteral("DESKTOP CAMERA"));

  // The gauge band: one even tone under a hairline, so the gauge drawn on it reads cleanly.
  const QRectF band(0, kLogoHeight - kGaugeBand, kLogoWidth, kGaugeBand);
  painter.fillRect(band, QColor(0x05, 0x0d, 0x1c));
  painter.fillRect(QRectF(0, band.top(), kLogoWidth, 1), QColor(0x4f, 0xb3, 0xff, 70));

  painter.end();
  return image;
}

QImage MakeTrayIcon() {
  // Drawn on the 16 pixel grid itself; a scaled-down large drawing turns to mush at this size.
  QImage image(16, 16, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);

  // Stand.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x4a, 0x5d, 0x78));
  painter.drawRect(QRectF(7, 12, 2, 2));
  painter.drawRoundedRect(QRectF(4, 14, 8, 1.6), 0.8, 0.8);

  // Bezel: light edge so it holds on dark panels, dark fill so it holds on light ones.
  painter.setBrush(QColor(0x26, 0x33, 0x46));
  painter.setPen(QPen(QColor(0x8a, 0x9e, 0xba), 1.0));
  painter.drawRoundedRect(QRectF(0.5, 1.5, 15, 11), 1.6, 1.6);

  QLinearGradient screen(QPointF(2, 3), QPointF(14, 11));
  screen.setColorAt(0.0, QColor(0x3b, 0xa0, 0xff));
  screen.setColorAt(1.0, QColor(0x13, 0x4d, 0xa8));
  painter.setPen(Qt::NoPen);
  painter.setBrush(screen);
  painter.drawRect(QRectF(2, 3, 12, 8));

  // Lens in the middle of the screen.
  const QPointF centre(8, 7);
  DrawFlatLens(painter, centre, {3.2, 2.0, 0.7, 0.65});

  painter.end();
  return image;
}

QImage MakeExitIcon() {
  QImage image(16, 16, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);

  const QPointF centre(8, 8);
  QRadialGradient disc(centre + QPointF(-2, -2.5), 10);
  disc.setColorAt(0.0, QColor(0xff, 0x6a, 0x5c));
  disc.setColorAt(1.0, QColor(0xb3, 0x1b, 0x14));
  painter.setPen(QPen(QColor(0x80, 0x12, 0x0d), 1.0));
  painter.setBrush(disc);
  painter.drawEllipse(centre, 7.3, 7.3);

  // The power sign: an open ring with a bar through its gap.
  painter.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
  painter.setBrush(Qt::NoBrush);
  const qreal r = 3.6;
  painter.drawArc(QRectF(centre.x() - r, centre.y() - r + 0.6, 2 * r, 2 * r), 125 * 16,
                  290 * 16);
  painter.drawLine(QPointF(8, 3.4), QPointF(8, 8.0));

  painter.end();
  return image;
}

// The application icon of the menus and launchers: the tray icon's monitor and lens. At 16 pixels
// it is the tray icon itself; from 48 up the lens gets the logo's glass and glint, which would blur
// into a grey dot below that.
QImage MakeAppIcon(int size) {
  if (size <= 16) return MakeTrayIcon();
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 64.0, size / 64.0);  // laid out on a 64 unit grid

  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x4a, 0x5d, 0x78));
  painter.drawRect(QRectF(28, 48, 8, 8));
  painter.drawRoundedRect(QRectF(16, 55, 32, 5), 2.5, 2.5);

  // Light edge so it holds on dark panels, dark bezel so it holds on light ones.
  const QRectF body(2, 8, 60, 42);
  const QRectF screen = body.adjusted(5, 5, -5, -5);
  DrawBezelAndGlass(painter, {body, 5, QPen(QColor(0x8a, 0x9e, 0xba), size >= 48 ? 1.5 : 2.5)},
                    {screen, 2, QColor(0x3b, 0xa0, 0xff), QColor(0x13, 0x4d, 0xa8)});

  const QPointF centre = screen.center();
  if (size >= 48) {
    DrawLens(painter, centre, screen.height() * 0.42);
  } else {
    DrawFlatLens(painter, centre, {12.0, 7.5, 2.6, 2.4});
  }
  painter.end();
  return image;
}

bool Save(const QImage& image, const QDir& folder, const char* name, const char* format,
          int quality) {
  const QString path = folder.filePath(QString::fromLatin1(name));
  if (image.save(path, format, quality)) return true;
  std::fprintf(stderr, "vistrel-make-artwork: cannot write %s\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char* argv[]) {
  // Text needs a QGuiApplication, which needs a platform; no display is wanted for this.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  const bool icons = argc == 3 && std::strcmp(argv[1], "--icons") == 0;
  if (argc != 2 && !icons) {
    std::fprintf(stderr, "usage: vistrel-make-artwork [--icons] OUTPUT-FOLDER\n");
    return EXIT_FAILURE;
  }
  const char* const output = argv[argc - 1];
  const QDir folder(QString::fromLocal8Bit(output));
  if (!folder.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "vistrel-make-artwork: cannot create %s\n", output);
    return EXIT_FAILURE;
  }
  if (icons) {
    // The sizes the hicolor theme names, so every panel and menu finds one without scaling.
    bool ok = true;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
      const QString apps = QStringLiteral("%1x%1/apps").arg(size);
      folder.mkpath(apps);  // when it fails, Save says which file it could not write
      ok = Save(MakeAppIcon(size), QDir(folder.filePath(apps)), "vistrel.png", "PNG", -1) && ok;
    }
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
  }
  bool ok = Save(MakeStartupLogo(), folder, "StartupLogo.jpg", "JPG", 92);
  ok = Save(MakeTrayIcon(), folder, "TrayIcon.png", "PNG", -1) && ok;
  ok = Save(MakeExitIcon(), folder, "ExitIcon.png", "PNG", -1) && ok;
  return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
