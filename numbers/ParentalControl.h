#pragma once
// Parental control: switching it on and off with the check box, the Set PIN button, and the PIN
// gate in front of every action that would weaken the protection. The state lives in the store
// and is read afresh at every use; the check box only mirrors it.
#include <string>

#include "numbers/NumberListClass.h"
#include "numbers/Prompts.h"

namespace kestrine::log {
class LogOwner;
}

namespace kestrine::numbers {

// The two controls of the main window's "Parental Control" group, as this logic sees them.
class ParentalControls {
public:
    virtual ~ParentalControls() = default;
    virtual bool ParentalChecked() const = 0;
    // A change made by the program. The window may run the click handler for it, as a user's
    // change would; UpdatingParental makes that handler return at once.
    virtual void SetParentalChecked(bool checked) = 0;
    virtual void SetSetPinEnabled(bool enabled) = 0;
};

// The actions behind the PIN gate.
enum class GatedAction { Add, Remove, Allow, ClearLog, CloseQuery };

class ParentalControl {
public:
    ParentalControl(TNumberList& store, Prompts& prompts, log::LogOwner& log,
                    ParentalControls& controls);

    // Set while the program itself changes the check box.
    bool UpdatingParental = false;

    // Start-up: ticks the box exactly when the store reports parental control on, and enables
    // Set PIN with it, without asking for a PIN.
    void RestoreCheckBox();
    // A change the store refuses puts the box back to what the store holds and raises the
    // store's error.
    void chkParentalClick();
    void btnSetPINClick();

    // The PIN gate: true when the action may proceed (parental control off, or the right PIN).
    // A cancelled dialog gives false, except for the close query, which raises its own error; a
    // wrong PIN raises the action's refusal as a UserError.
    bool PassPinGate(GatedAction action);
    static std::string RefusalText(GatedAction action);

private:
    void SwitchAsTheBoxSays();
    void PutBoxBack(bool checked);
    // The stored PIN as the dialogs give a typed one: UTF-8. A PIN that an earlier version stored
    // as Latin-1 reads as the text that was typed then.
    std::string StoredPin();

    TNumberList& store_;
    Prompts& prompts_;
    log::LogOwner& log_;
    ParentalControls& controls_;
};

}  // namespace kestrine::numbers
