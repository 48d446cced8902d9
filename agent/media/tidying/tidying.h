// Photo tidying by date: while the owner has it switched on (AutoTiding row
// "TidingByDate" = "1"), pictures lying directly in the default picture folder move into
// sub-folders named after the day they were taken ("2013-05-01"), read from their EXIF
// DateTimeOriginal.
//
// It never loses a photo: only a valid "YYYY:MM:DD" date becomes a folder name; a file is
// never copied onto itself; a target that exists is a duplicate only when its whole
// content equals the source's (then the source goes); otherwise the picture gets a free
// name; the move is a rename where possible, and when a copy is needed a failed copy keeps
// the source. Hidden and non-regular files are never touched.
#pragma once

#include <string>
#include <vector>

#include "agent/media/exif/exif.h"

// AutoTiding table (TidingName char(128), TidingStatus char(4)); the agent creates it with
// the row ("TidingByDate", "0"). All 0, or -1 after a database exception.
int CreateAutoTidingTable();
int SetTidingStatusByType(const std::string& name, const std::string& status);
int GetTidingStatusByType(const std::string& name, std::string& status);

// Pool job: tidies def_pic once a minute (KESTYL_TIDY_S) while the switch is on, until
// the stop flag.
void StartAutoTiding();

// One round over the given names of `folder`; the number of pictures moved.
int TidyFolderFiles(const std::string& folder, const std::vector<std::string>& names);
// 0 when the picture was moved (or was a duplicate of its target and went); -1 otherwise.
int MovePhotoByDate(const std::string& path, const ExifInfo& info);

// "YYYY:MM:DD ..." → "YYYY-MM-DD"; false for anything that is not a plausible date
// (blanks, "0000:00:00", other characters).
bool DateFolderName(const char* exifDateTime, std::string& folder);
