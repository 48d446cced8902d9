// The desktop program's pictures, compiled in with rcc (library ks_desktop_resources).
//
// Resource paths, ids and sizes as desktop/resources/artwork.tsv lists them:
//   :/png/<id>              PNG resources, transparent where the picture is
//   :/ico/<id>              icons (window and notification area), 32 x 32 PNG
//   :/ico/16/<id>, :/ico/32/<id>, :/ico/48/<id>   the same icon at 16, 32 and 48 px
//   :/bmp/<id>              24-bit BMP pictures (transfer list images, 13 x 13)
// A static library's resources are not registered until this is called once, before the
// first lookup. Safe to call again and from any thread.
#pragma once

void ks_init_desktop_resources();
