// Pictures of the program's resources by their ids (library ks_desktop_resources).
//
// LoadPngResource(id) is the one loader of the skinned controls: the PNG :/png/<id> as an
// ARGB32 (premultiplied) image, or a null image when the id has no picture. Decoded images
// are kept (QImage shares its data), so repeated loads cost a lookup; safe from any thread.
// The resource library is registered on first use.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>

namespace ks::ui {

QImage LoadPngResource(unsigned id);

// `type` "PNG", "BMP" or "ICO" (any case): :/png/<id>, :/bmp/<id>, :/ico/<id>.
QImage LoadImageFromResource(unsigned id, const QString& type);

// The names other parts of the program use for the same routine.
inline QImage LoadPngResourceZ(unsigned id) { return LoadPngResource(id); }

// The icon :/ico/<id> with its 16, 32 and 48 px pictures; null when missing.
QIcon LoadIconResource(unsigned id);

}  // namespace ks::ui
