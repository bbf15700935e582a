#pragma once

// The program's console texts. The rewriter's reasons for failing are in
// chunk_rewriter.hpp.

#ifndef BUILD_TIMESTAMP
#define BUILD_TIMESTAMP __TIMESTAMP__ // the source's time stamp, "Mon Oct 19 18:11:59 2026"
#endif

constexpr const char* BANNER_FORMAT =
    "\nPNG file DPI changer (build time %s)\n"
    "restamp, Copyright (c) 2026 the restamp authors, MIT License\n"
    "-------------------------------------------------------------------------------\n\n";
constexpr const char* USAGE = "Usage: restamp dpi infile.png [outfile.png]\n\n"
                              "Note: specifying only the input file will cause it to be modified.\n";
constexpr const char* ONE_FILE_PER_RUN = "restamp takes one file per run.\n";
constexpr const char* DPI_NOT_POSITIVE = "DPI must be greater than zero\n";
constexpr const char* DPI_TOO_LARGE_FORMAT = "DPI must not exceed %d\n";
constexpr const char* COPIED_FORMAT = "%s copied to %s using DPI of %d\n";
constexpr const char* NO_TEMPORARY_FILE = "Could not create temporary file.\n";
constexpr const char* CHANGED_FORMAT = "DPI of %s changed to %d\n";
constexpr const char* FAILED = "restamp failed.\n";
constexpr const char* INPUT_WRITE_ERROR = "Error writing input file.\n";
constexpr const char* DELETE_ERROR = "Error deleting temporary file.\n";
constexpr const char* BACKUP_NOTICE_FORMAT = "If your file is missing or damaged, a backup copy may exist at %s\n";
