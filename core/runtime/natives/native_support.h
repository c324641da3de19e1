#pragma once

// What the natives of the API share: checked reads and writes of the byte
// arrays an applet passes, and the cryptography's own natives.

#include "core/runtime/vm/vm.h"

#include <string>
#include <vector>

namespace tolvane::runtime {

// ArrayIndexOutOfBoundsException where [offset, offset + length) is not in `array`.
void checkRange(NativeCall& c, const Object& array, std::int32_t offset, std::int32_t length);
// Writes into a byte array: through the transaction where `atomic` and one is open.
void writeArrayBytes(NativeCall& c, Ref array, std::size_t offset, const std::uint8_t* bytes, std::size_t count,
                     bool atomic);
// The bytes of the array argument `array` from the offset and length arguments given.
std::vector<std::uint8_t> argumentBytes(NativeCall& c, unsigned array, unsigned offset, unsigned length);
// Writes `bytes` to the array argument `array` at the offset argument `offset`, checked.
void writeArgumentBytes(NativeCall& c, unsigned array, unsigned offset, const std::vector<std::uint8_t>& bytes);

// A OneShot object's close: its state goes, and a later use is refused.
void oneShotClose(NativeCall& c);

// The natives of keys, ciphers and signatures; nullptr for a name they do not serve.
Native cryptoNativeFor(const std::string& fullName);
// The GlobalPlatform API's natives, likewise; and the runtime's own class
// behind the secure channel object, made once the API is installed.
Native globalPlatformNativeFor(const std::string& fullName);
void prepareGlobalPlatform(Vm& vm);
// The restorers of the API objects' states, for the card file.
void registerCryptoKinds();
void registerGlobalPlatformKinds();

// The applet instance whose context is running, if any.
const Instance* runningInstance(Vm& vm);
// The bytes of the AID object argument `arg`.
const std::vector<std::uint8_t>& aidArgument(NativeCall& c, unsigned arg);
// An AID object of the runtime's own, which any context may use.
Ref newAidObject(Vm& vm, const std::vector<std::uint8_t>& bytes);

} // namespace tolvane::runtime
