#pragma once
// Language files: writing the built-in texts out and applying a language to the running windows.
//
// TranslateForms(0) writes the texts of both windows (MainForm, ProgressForm), the message texts
// and the item lists to Chinese.LNG in the application directory (GBK). TranslateForms(1..3)
// loads Chinese.LNG, BigGb.LNG or English.LNG, each decoded with its own code page, into them:
// captions and hints of every control that is not an input control, the messages, the item
// lists (the five lists of the main window are refilled), cb_Lng set to the language, the captions
// of IPAddrEd, IPPortEd and IdEd re-aligned before their fields, and the main window's font
// switched to the language's character set. A missing file or key leaves a text as it was.
//
// UI thread only. Never fails; a language file that cannot be written is reported on stderr, one
// that the INI reader refuses (not a regular file, too large) in a warning message box.

namespace xv4 {

class TMainForm;
class TProgressForm;

// Over the program's MainForm and ProgressForm.
void TranslateForms(int index);
// Over the given windows (either may be null).
void TranslateForms(int index, TMainForm* mainForm, TProgressForm* progressForm);

}  // namespace xv4
