// The message texts and captions of the upload outcomes, shared by the dialog and the command line.
#include "engine/outcome.h"

const char* OutcomeMessage(UploadOutcome outcome)
{
    switch (outcome) {
    case NoFileName: return "You must select a file to upload first.";
    case FileNotReadable: return "Can't read from the specified file.";
    case OutOfMemory: return "Out of memory for data.";
    case PortNotOpened: return "Can't open the serial port.";
    case ChecksumMismatch: return "Checksum failed - try again";
    case Completed:
    case Stopped: break;
    }
    return nullptr;
}

const char* OutcomeCaption(UploadOutcome outcome)
{
    switch (outcome) {
    case NoFileName:
    case FileNotReadable:
    case OutOfMemory:
    case PortNotOpened: return "KAVO - Error";
    case ChecksumMismatch: return "KAVO Uploader - Error";
    case Completed:
    case Stopped: break;
    }
    return nullptr;
}
