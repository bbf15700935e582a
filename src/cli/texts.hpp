#pragma once

// The program's console texts, every one of them.

#ifndef BUILD_TIMESTAMP
#define BUILD_TIMESTAMP __TIMESTAMP__ // the source's time stamp, "Mon Oct 19 18:11:59 2026"
#endif
#ifndef RESTAMP_VERSION
#define RESTAMP_VERSION "0.0.0"
#endif

// On standard output.
constexpr const char* BANNER_FORMAT =
    "\nPNG file DPI changer (build time %s)\n"
    "restamp " RESTAMP_VERSION ", Copyright (c) 2026 the restamp authors, MIT License\n"
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
constexpr const char* BACKUP_NOTICE_FORMAT = "If your file is missing or damaged, a backup copy may exist at %s\n";

// On standard error: the reason a run failed, one of these.
constexpr const char* OPEN_ERROR = "Error opening file(s).\n";
constexpr const char* NOT_PNG_ERROR = "Not a valid PNG file.\n";
constexpr const char* READ_ERROR = "Error reading input file.\n";
constexpr const char* WRITE_ERROR = "Error writing output file.\n";
constexpr const char* INPUT_CHANGED = "Input file changed during the run.\n";
constexpr const char* INPUT_WRITE_ERROR = "Error writing input file.\n";
constexpr const char* DELETE_ERROR = "Error deleting temporary file.\n";
constexpr const char* DPI_IS_FILE_NAME_FORMAT = "%s is a file name, not a DPI.\n";
constexpr const char* INTERRUPTED_COPY_FORMAT =
    "A run that did not finish left a copy of %s at %s.\n"
    "To take that image, copy it over the file (cp, not mv); to keep the file as it is, delete the copy.\n";
constexpr const char* INTERRUPTED_JOURNAL_FORMAT = "A run that did not finish left a journal of %s at %s.\n"
                                                   "restamp with that file alone (in place) finishes the run first.\n";
constexpr const char* JOURNAL_MISFITS_FORMAT =
    "%s changed after an interrupted run: the run's journal at %s no longer fits it.\n"
    "To keep the file as it is, delete the journal.\n";

// Also on standard error, with the message above that ends the run.
constexpr const char* TEMPORARY_FOLDER_FORMAT = "Cannot use %s as the temporary folder: %s.\n";
constexpr const char* NO_SUCH_FOLDER = "no such folder";
constexpr const char* NOT_A_FOLDER = "not a folder";
constexpr const char* NOT_WRITABLE = "not writable";
constexpr const char* OTHERS_MAY_RENAME_FORMAT = "others may rename files in %s";
constexpr const char* OTHER_OWNER = "owned by another user";

// On standard error, not a failure.
constexpr const char* WAITING_FORMAT = "Waiting for another program to release %s.\n";
constexpr const char* REWRITTEN_BEFORE_INTERRUPT_FORMAT = "%s was rewritten before the interrupt took effect.\n";
