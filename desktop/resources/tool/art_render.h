// Internal interface of ks-art-render (see art_render.cpp).
#pragma once

#include "desktop/resources/artwork_table.h"
#include "desktop/resources/gif_writer.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QString>

#include <vector>

namespace ks::art {

// Renders an SVG whose viewBox has the shape of width x height onto a transparent image
// (or onto `backdrop` when it is valid). Null image and `error` set on any failure,
// including a warning of Qt's SVG module.
QImage RenderSvg(const QString& path, int width, int height, QString& error, const QColor& backdrop = QColor());

// The sizes an icon row is rendered at: 16, 32, 48 and its own size.
QList<int> IconSizes(const ArtworkRow& row);

// One row as it ends up in the program: png transparent; bmp and gif opaque on white;
// ico at `iconSize`; htm as the banner window shows the page (see RenderLocalPage).
// `scale` enlarges the picture (the probe check looks at it three times as large).
QImage RenderRow(const ArtworkRow& row, const QString& artDir, const QString& roamingSrc, QString& error, int iconSize,
                 int scale = 1);

// The local banner page drawn into a window of the row's size, with `banner` appended to
// its body as the banner window does when it falls back to the page.
QImage RenderLocalPage(const ArtworkRow& row, const QString& roamingSrc, QString& error, const QImage& banner = QImage());

bool RenderAll(const std::vector<ArtworkRow>& rows, const QString& artDir, const QString& roamingSrc,
               const QString& outDir, const QString& roamingOut, QString& error);

// Prints each row's probe colour as rendered; false when one is not opaque, not the
// listed colour, or only partly covered by a shape (an anti-aliased edge).
bool CheckProbes(const std::vector<ArtworkRow>& rows, const QString& artDir, const QString& roamingSrc, QString& error);

// Windows composed from the pictures as the program places them, for the contact sheet.
QList<QImage> DrawPreviews(const std::vector<ArtworkRow>& rows, const QString& artDir, const QString& roamingSrc,
                           QString& error);

bool DrawContactSheet(const std::vector<ArtworkRow>& rows, const QString& artDir, const QString& roamingSrc,
                      const QString& outPng, QString& error);

}  // namespace ks::art
