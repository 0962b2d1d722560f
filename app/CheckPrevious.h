// One instance of the program per user: the instances find each other
// through a small shared block, an 8-byte file in the user's runtime folder
// mapped into every instance, and a second start asks the running instance
// over a local socket to bring its window to the front.
//
// Block layout (little-endian, no header):
//   offset 0, 4 bytes  PreviousHandle: process id of the instance that
//                      registered last
//   offset 4, 4 bytes  RunCounter: signed count of registered instances
//
// The check and the registration run under an exclusive lock of the block
// file, so two starts at the same moment cannot both pass. Every registered
// instance holds a shared lock on a companion lock file for its life; when
// nobody holds it, the instances counted were killed without their exit and
// the counter starts again from 0.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

class QWidget;

struct TInstanceInfo {
    uint32_t PreviousHandle = 0;
    int32_t RunCounter = 0;
};
static_assert(sizeof(TInstanceInfo) == 8);

// The program's fixed block name.
inline constexpr char TolvexInstanceGuid[] = "{6A1C3F2E-9B47-4D85-A3E0-5F7B2C914D6E}";

// The block name; the program sets it to TolvexInstanceGuid before the check.
extern std::string MappingName;

// The block cannot be created or mapped.
class EInstanceBlockError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The folder of the block, its lock file and the activation socket:
// $XDG_RUNTIME_DIR, or /tmp/tolvex-<uid> (mode 0700) without one.
std::string InstanceFolder();
std::string InstanceBlockFile();
std::string InstanceLockFile();
std::string ActivationSocketPath();

// False: this process is registered (Handle stored, counter raised) and
// runs. True: MaxInstances instances run already; the last one was asked to
// bring its window forward and this process must end. Raises
// EInstanceBlockError when the block cannot be made.
bool RestoreIfRunning(uint32_t Handle, int MaxInstances);

// Lowers the counter when this process was registered and lets go of the
// block; once only (it also runs at exit when nobody called it).
void FinalizeCheckPrevious();

// True while this process counts in the block.
bool IsRegisteredInstance();

// Reads the block without changing it; false when it does not exist.
bool ReadInstanceInfo(TInstanceInfo& Info);

// The running instance: answers activation requests by restoring Window
// when it is minimized, raising and activating it.
void ListenForActivation(QWidget* Window);
// Activation requests answered so far.
int ActivationRequests();
