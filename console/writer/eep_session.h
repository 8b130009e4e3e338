// eep_session.h - the EEP file state of the writer dialog: load and reload of
// a setup file, the next serial and its hand-off, "Save to eep file" and the
// serial write-back. The dialog passes in the file name, the device class,
// the serial mode with its "Start"/"End" texts and its field texts, and
// applies what comes back: field texts, messages (in order) and the state
// below.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "atomic_replace.h"
#include "eep_file.h"
#include "eep_types.h"
#include "serial.h"

namespace eep {

struct SessionOptions {
    // Directory that receives "Temp.eep"; empty = the current directory.
    std::string workDir;
    // Local time for the random serial mode; empty = the system clock.
    Clock clock;
    // Rename step of the file replacement; empty = rename(2).
    ScratchFile::RenameFn rename;
};

struct LoadResult {
    bool loaded = false;
    std::vector<Message> messages;
    std::optional<FieldUpdate> fields;  // when the file was parsed
    std::string fullPath;               // for the title: "<title> --> <fullPath>"
    std::string fileTitle;              // for the edit beside "&Load eep file"
};

struct ReloadResult : LoadResult {
    // False when the programming run must not go on: the Start/End check
    // failed, or the file could not be loaded again.
    bool runMayStart = false;
};

struct SaveResult {
    bool saved = false;
    std::vector<Message> messages;
    std::string fileTitle;  // of the new file, for the edit beside "&Load eep file"
};

struct HandOffResult {
    std::optional<std::string> startText;  // boundary mode: the new "Start" text
    bool fileRewritten = false;            // auto increment: the file took the next serial
};

class EepSession {
public:
    explicit EepSession(SessionOptions options = {});

    // "&Load eep file" with the name chosen in the open dialog (empty =
    // cancelled). Clears the saved flag and path and the loaded flag first.
    LoadResult load(const std::string& path, uint8_t deviceClass, const SerialSettings& serial);

    // Whether a programming run reloads the file first: random and boundary
    // modes always, auto increment after "Save to eep file".
    bool reloadBeforeRun(SerialMode mode) const;
    // The reload before a programming run, with the boundary mode's Start/End
    // check; a file saved under another name becomes the loaded file.
    ReloadResult reload(uint8_t deviceClass, const SerialSettings& serial);

    // The next serial, computed at the start of every EEPROM write. On a
    // further run without reparse the serial in the image (and the text
    // handed to the device) advances first.
    NextSerial nextSerial(const SerialSettings& serial);
    // After a successful read-back check: the next serial goes into the
    // "Start" edit (boundary) or into the file (auto increment).
    HandOffResult handOff(const SerialSettings& serial);

    // "Save to eep file" to `target` (empty = cancelled), from the loaded file
    // and the dialog's field texts. The icon-setting check runs for card
    // readers (10h-1Fh) only.
    SaveResult saveAs(const std::string& target, uint8_t deviceClass, const FieldTexts& fields);

    // The serial write-back: the loaded file's serial line takes `serial`.
    // False (and the file untouched) when it cannot be done.
    bool writeSerialBack(const std::string& serial);

    const Image& image() const { return image_; }
    int wordCount() const { return wordCount_; }
    uint16_t checksumIndex() const { return checksumIndex_; }
    const Strings& strings() const { return strings_; }
    const Fields& fields() const { return fields_; }
    bool loaded() const { return loaded_; }
    bool freshlyParsed() const { return serial_.freshlyParsed; }
    bool serialIsNumeric() const { return serial_.isNumeric; }
    bool serialKeepsWidth() const { return serial_.keepsWidth; }
    const std::string& loadedPath() const { return loadedPath_; }
    const std::string& savedPath() const { return savedPath_; }
    bool savedFlag() const { return savedFlag_; }
    const NextSerial& next() const { return next_; }

private:
    LoadResult readAndParse(const std::string& path, uint8_t deviceClass, const SerialSettings& serial,
                            FieldMapping mapping);
    std::string scratchPath() const;

    SessionOptions options_;
    Image image_{};
    int wordCount_ = 0;
    uint16_t checksumIndex_ = 0;
    Strings strings_;
    Fields fields_;
    SerialState serial_;
    NextSerial next_;
    bool loaded_ = false;
    std::string loadedPath_, savedPath_;
    bool savedFlag_ = false;
    std::optional<std::string> serialLine_;  // what stood in for the serial line at the last parse
};

}  // namespace eep
