#pragma once

// Test applets of our own, written as bytecode: an applet class whose
// process method is a test's bytecode, laid out as a CAP file's components,
// and a simulated card with such applets installed.

#include "core/cap/load_file.h"
#include "core/runtime/card/simulated_card.h"
#include "test_support.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tolvane::testing {

inline void putBe16(ByteVector& out, std::size_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

inline ByteVector component(std::uint8_t tag, const ByteVector& content)
{
    ByteVector bytes{tag};
    putBe16(bytes, content.size());
    bytes.insert(bytes.end(), content.begin(), content.end());
    return bytes;
}

inline ByteVector withAid(ByteVector out, const ByteVector& aid)
{
    out.push_back(static_cast<std::uint8_t>(aid.size()));
    out.insert(out.end(), aid.begin(), aid.end());
    return out;
}

// The constant pool every test applet has, by index.
enum Pool : std::uint8_t {
    appletInit,        // Applet.<init>()
    registerApplet,    // Applet.register()
    ownClass,          //
    ownInit,           // the applet's constructor
    getBuffer,         // APDU.getBuffer()
    throwIt,           // ISOException.throwIt(short)
    receive,           // APDU.setIncomingAndReceive()
    outgoingAndSend,   // APDU.setOutgoingAndSend(short, short)
    beginTransaction,  // JCSystem
    abortTransaction,  //
    commitTransaction, //
    makeTransient,     // JCSystem.makeTransientByteArray(short, byte)
    refField,          // the applet's field 0: a byte[]
    shortField,        // the applet's field 1: a short
    helper,            // the applet's static method helper()
    arithmetic,        // java.lang.ArithmeticException
    sendBytes,         // APDU.sendBytes(short, short)
    lookupAid,         // JCSystem.lookupAID(byte[], short, byte)
    shareableOf,       // JCSystem.getAppletShareableInterfaceObject(AID, byte)
    requestDeletion,   // JCSystem.requestObjectDeletion()
    arrayCompare,      // Util.arrayCompare(byte[], short, byte[], short, short)
    setShortIn,        // Util.setShort(byte[], short, short)
    getShortOf,        // Util.getShort(byte[], short)
    arrayCopy,         // Util.arrayCopy(byte[], short, byte[], short, short)
    setOutgoing,       // APDU.setOutgoing()
    outgoingLength,    // APDU.setOutgoingLength(short)
    buildKey,          // KeyBuilder.buildKey(byte, short, boolean)
    aesKey,            // javacard.security.AESKey
    desKey,            // javacard.security.DESKey
    hmacKey,           // javacard.security.HMACKey
    cipherInstance,    // Cipher.getInstance(byte, boolean)
    cipherInit,        // Cipher.init(Key, byte)
    cipherInitIv,      // Cipher.init(Key, byte, byte[], short, short)
    cipherDoFinal,     // Cipher.doFinal(byte[], short, short, byte[], short)
    signatureInstance, // Signature.getInstance(byte, boolean)
    signatureInit,     // Signature.init(Key, byte)
    signatureSign,     // Signature.sign(byte[], short, short, byte[], short)
    staticRef,         // the package's static field at 0: a reference
    staticShort,       // the package's static field at 2: a short
    superSelect,       // Applet.select() as the superclass's
    getAid,            // JCSystem.getAID()
    aidGetBytes,       // AID.getBytes(byte[], short)
    aidPartialEquals,  // AID.partialEquals(byte[], short, byte)
    randomInstance,    // RandomData.getInstance(byte)
    randomNextBytes,   // RandomData.nextBytes(byte[], short, short)
    keyPairClass,      // javacard.security.KeyPair
    keyPairInit,       // KeyPair(byte, short)
    keyPairGenerate,   // KeyPair.genKeyPair()
    keyPairPublic,     // KeyPair.getPublic()
    keyPairPrivate,    // KeyPair.getPrivate()
    rsaPublicKey,      // javacard.security.RSAPublicKey
    signatureVerify,   // Signature.verify(byte[], short, short, byte[], short, short)
    ecPublicKey,       // javacard.security.ECPublicKey
    agreementInstance, // KeyAgreement.getInstance(byte, boolean)
    agreementInit,     // KeyAgreement.init(PrivateKey)
    agreementSecret,   // KeyAgreement.generateSecret(byte[], short, short, byte[], short)
    checksumInstance,  // Checksum.getInstance(byte, boolean)
    checksumDoFinal,   // Checksum.doFinal(byte[], short, short, byte[], short)
    retrieveTag,       // AEADCipher.retrieveTag(byte[], short, short)
    rsaPrivateKey,     // javacard.security.RSAPrivateKey
    aeadInitLengths,   // AEADCipher.init(Key, byte, byte[], short, short, short, short, short)
    updateAad,         // AEADCipher.updateAAD(byte[], short, short)
    verifyTag,         // AEADCipher.verifyTag(byte[], short, short, short)
    assignedChannel,   // JCSystem.getAssignedChannel()
    claChannel,        // APDU.getCLAChannel()
    receiveBytes,      // APDU.receiveBytes(short)
    offsetCdata,       // APDU.getOffsetCdata()
    arrayCopyNonAtomic, // Util.arrayCopyNonAtomic(byte[], short, byte[], short, short)
    ownerPinClass,     // javacard.framework.OwnerPIN
    ownerPinInit,      // OwnerPIN(byte, byte)
    pinCheck,          // OwnerPIN.check(byte[], short, byte)
    pinTries,          // OwnerPIN.getTriesRemaining()
    pinReset,          // OwnerPIN.reset()
    pinUpdate,         // OwnerPIN.update(byte[], short, byte)
};

const ByteVector poolEntries[] = {
    {6, 0x81, 3, 0},
    {3, 0x81, 3, 1},
    {1, 0, 0, 0},
    {6, 0, 0, 0} /* patched */,
    {3, 0x81, 10, 1},
    {6, 0x81, 7, 1},
    {3, 0x81, 10, 6},
    {3, 0x81, 10, 8},
    {6, 0x81, 8, 1},
    {6, 0x81, 8, 0},
    {6, 0x81, 8, 2},
    {6, 0x81, 8, 13},
    {2, 0, 0, 0},
    {2, 0, 0, 1},
    {6, 0, 0, 0} /* patched */,
    {1, 0x80, 9, 0},
    {3, 0x81, 10, 4},
    {6, 0x81, 8, 11},
    {6, 0x81, 8, 4},
    {6, 0x81, 8, 18},
    {6, 0x81, 16, 0},
    {6, 0x81, 16, 6},
    {6, 0x81, 16, 4},
    {6, 0x81, 16, 1},
    {3, 0x81, 10, 7},
    {3, 0x81, 10, 9},
    {6, 0x82, 13, 0},
    {1, 0x82, 20, 0},
    {1, 0x82, 10, 0},
    {1, 0x82, 23, 0},
    {6, 0x83, 1, 0},
    {3, 0x83, 1, 3},
    {3, 0x83, 1, 4},
    {3, 0x83, 1, 1},
    {6, 0x82, 15, 0},
    {3, 0x82, 15, 3},
    {3, 0x82, 15, 5},
    {5, 0, 0, 0},
    {5, 0, 0, 2},
    {4, 0, 0, 6},
    {6, 0x81, 8, 3},
    {3, 0x81, 6, 3},
    {3, 0x81, 6, 4},
    {6, 0x82, 14, 0},
    {3, 0x82, 14, 3},
    {1, 0x82, 16, 0},
    {6, 0x82, 16, 0},
    {3, 0x82, 16, 1},
    {3, 0x82, 16, 3},
    {3, 0x82, 16, 2},
    {1, 0x82, 9, 0},
    {3, 0x82, 15, 7},
    {1, 0x82, 19, 0},
    {6, 0x82, 22, 0},
    {3, 0x82, 22, 1},
    {3, 0x82, 22, 3},
    {6, 0x82, 21, 0},
    {3, 0x82, 21, 3},
    {3, 0x83, 3, 10},
    {1, 0x82, 8, 0},
    {3, 0x83, 3, 8},
    {3, 0x83, 3, 9},
    {3, 0x83, 3, 11},
    {6, 0x81, 8, 19},
    {6, 0x81, 10, 6},
    {3, 0x81, 10, 3},
    {3, 0x81, 10, 16},
    {6, 0x81, 16, 2},
    {1, 0x81, 9, 0},
    {6, 0x81, 9, 0},
    {3, 0x81, 9, 1},
    {3, 0x81, 9, 2},
    {3, 0x81, 9, 5},
    {3, 0x81, 9, 8},
};

// An exception handler of process: the bytecode it covers, where it begins,
// and the class it catches.
struct HandlerRange {
    unsigned start, end, handler; // in process's bytecode
    std::uint8_t catches;         // a pool index, 0 for everything
};

// An applet package of one class extending Applet, with a byte[] field and
// a short field: its constructor runs `init` (this in local 0), process runs
// `process` (this, the APDU, and `locals` more), helper() runs `helper`, and
// getShareableInterfaceObject runs `shareable`.
struct TestApplet {
    ByteVector aid{0xA0, 0x00, 0x00, 0x00, 0x62, 0x7E, 0x01};
    ByteVector init;
    ByteVector process{0x7A};
    std::uint8_t locals = 2;
    std::vector<HandlerRange> handlers;
    ByteVector helperCode{0x7A};
    ByteVector shareable{0x01, 0x77}; // null
    ByteVector framework{0xA0, 0x00, 0x00, 0x00, 0x62, 0x01, 0x01};
    bool extendedLength = false; // the class implements javacardx.apdu.ExtendedLength
    // The class implements MultiSelectable: its select(boolean) keeps the
    // argument in the static short and agrees, its deselect(boolean) keeps
    // 16 plus the argument there.
    bool multiSelectable = false;
    std::uint8_t frameworkMajor = 1, frameworkMinor = 2;
    bool globalPlatform = false; // a sixth import, org.globalplatform 1.0, for pool entries of 0x85
    // The class implements org.globalplatform.Application (with
    // globalPlatform, without multiSelectable): its processData keeps the
    // first data byte of the command it is given in the static short.
    bool gpApplication = false;
    // Or org.globalplatform.Personalization: its processData answers the
    // command's first data byte, written at the output offset.
    bool gpPersonalization = false;
    std::map<std::size_t, ByteVector> poolChanges; // entries in place of poolEntries'

    std::vector<CapEntry> entries() const
    {
        struct Code {
            std::uint8_t flags, stack, nargs, locals;
            ByteVector bytecode;
        };
        ByteVector ctor{0x18, 0x8C, 0, appletInit};
        ctor.insert(ctor.end(), init.begin(), init.end());
        ctor.push_back(0x7A);
        std::vector<Code> methods = {
            {0x08, 2, 3, 0, {0x8F, 0, ownClass, 0x3D, 0x8C, 0, ownInit, 0x8B, 0, registerApplet, 0x7A}},
            {0x00, 6, 1, 2, ctor},
            {0x00, 12, 2, locals, process},
            {0x08, 4, 0, 2, helperCode},
            {0x00, 2, 3, 0, shareable},
        };
        if (multiSelectable) {
            methods.push_back({0x00, 2, 2, 0, {0x1D, 0x81, 0, staticShort, 0x04, 0x78}});
            methods.push_back({0x00, 3, 2, 0, {0x1D, 0x10, 0x10, 0x41, 0x81, 0, staticShort, 0x7A}});
        }
        if (gpApplication) // processData(buffer, offset, length): static = buffer[offset + 5]
            methods.push_back({0x00, 3, 4, 0, {0x19, 0x1E, 0x08, 0x41, 0x25, 0x81, 0, staticShort, 0x7A}});
        if (gpPersonalization) // processData(in, inOffset, inLength, out, outOffset): out[outOffset] = in[inOffset + 5]; 1
            methods.push_back({0x00, 5, 6, 0,
                               {0x15, 4, 0x16, 5, 0x19, 0x1E, 0x08, 0x41, 0x25, 0x38, 0x04, 0x78}});
        ByteVector method{static_cast<std::uint8_t>(handlers.size())};
        const std::size_t first = 1 + handlers.size() * 8;
        std::vector<unsigned> offsets;
        std::size_t at = first;
        for (const auto& m : methods) {
            offsets.push_back(static_cast<unsigned>(at));
            at += 4 + m.bytecode.size();
        }
        for (std::size_t i = 0; i < handlers.size(); ++i) {
            const unsigned base = offsets[2] + 4;
            putBe16(method, base + handlers[i].start);
            putBe16(method, 0x8000 | (handlers[i].end - handlers[i].start));
            putBe16(method, base + handlers[i].handler);
            putBe16(method, handlers[i].catches);
        }
        for (const auto& m : methods) {
            method.insert(method.end(), {static_cast<std::uint8_t>(0x80 | m.flags), m.stack, m.nargs, m.locals});
            method.insert(method.end(), m.bytecode.begin(), m.bytecode.end());
        }
        ByteVector pool;
        putBe16(pool, std::size(poolEntries));
        for (std::size_t i = 0; i < std::size(poolEntries); ++i) {
            ByteVector entry = poolChanges.count(i) ? poolChanges.at(i) : poolEntries[i];
            if (i == ownInit || i == helper) {
                const unsigned target = offsets[i == ownInit ? 1 : 3];
                entry[2] = static_cast<std::uint8_t>(target >> 8);
                entry[3] = static_cast<std::uint8_t>(target);
            }
            pool.insert(pool.end(), entry.begin(), entry.end());
        }
        // The class: super Applet, two fields (a reference, then a short),
        // and getShareableInterfaceObject and process as its public virtual
        // methods of tokens 5 and 7, select (6) inherited; MultiSelectable's
        // two methods as 8 and 9.
        const bool gpInterface = gpApplication || gpPersonalization;
        const auto interfaces =
            static_cast<std::uint8_t>((extendedLength ? 1 : 0) + (multiSelectable ? 1 : 0) + (gpInterface ? 1 : 0));
        const auto publicCount = static_cast<std::uint8_t>(multiSelectable ? 5 : gpInterface ? 4 : 3);
        ByteVector cls{interfaces, 0x81, 0x03, 2, 0, 1, 5, publicCount, 0, 0};
        putBe16(cls, offsets[4]);
        putBe16(cls, 0xFFFF);
        putBe16(cls, offsets[2]);
        if (multiSelectable) {
            putBe16(cls, offsets[5]);
            putBe16(cls, offsets[6]);
        }
        if (gpInterface)
            putBe16(cls, offsets[5]);
        if (extendedLength) // the interface, of the fifth import, with no methods
            cls.insert(cls.end(), {0x84, 0x00, 0});
        if (multiSelectable) // javacard.framework's class 17, its tokens 0 and 1 as 8 and 9
            cls.insert(cls.end(), {0x81, 17, 2, 8, 9});
        if (gpInterface) // org.globalplatform's class 0 (Application) or 8 (Personalization), token 0 as 8
            cls.insert(cls.end(), {0x85, static_cast<std::uint8_t>(gpApplication ? 0 : 8), 1, 8});
        ByteVector descriptor{1, 0, 0x01, 0, 0, interfaces, 0, 0, 0, static_cast<std::uint8_t>(methods.size())};
        if (extendedLength)
            descriptor.insert(descriptor.end(), {0x84, 0x00});
        if (multiSelectable)
            descriptor.insert(descriptor.end(), {0x81, 17});
        if (gpInterface)
            descriptor.insert(descriptor.end(), {0x85, static_cast<std::uint8_t>(gpApplication ? 0 : 8)});
        const std::size_t typeAt = 2 + 2 * std::size(poolEntries);
        const std::uint8_t methodFlags[] = {0x09, 0x81, 0x01, 0x08, 0x01, 0x01, 0x01};
        for (std::size_t i = 0; i < methods.size(); ++i) {
            descriptor.insert(descriptor.end(), {static_cast<std::uint8_t>(i), methodFlags[i]});
            putBe16(descriptor, offsets[i]);
            putBe16(descriptor, typeAt);
            putBe16(descriptor, methods[i].bytecode.size());
            putBe16(descriptor, i == 2 ? handlers.size() : 0);
            putBe16(descriptor, 0);
        }
        putBe16(descriptor, std::size(poolEntries));
        for (std::size_t i = 0; i < std::size(poolEntries); ++i)
            putBe16(descriptor, poolEntries[i][0] == 1 ? 0xFFFF : typeAt);
        descriptor.insert(descriptor.end(), {1, 0x10});

        ByteVector header{0xDE, 0xCA, 0xFF, 0xED, 1, 2, 0x04, 0, 1};
        header = withAid(header, aid);
        ByteVector applet{1};
        applet = withAid(applet, concat(aid, {0x01}));
        putBe16(applet, offsets[0]);
        ByteVector imports{static_cast<std::uint8_t>(globalPlatform ? 6 : 5), 0, 1};
        imports = withAid(imports, {0xA0, 0x00, 0x00, 0x00, 0x62, 0x00, 0x01});
        imports.insert(imports.end(), {frameworkMinor, frameworkMajor});
        imports = withAid(imports, framework);
        imports.insert(imports.end(), {1, 1});
        imports = withAid(imports, {0xA0, 0x00, 0x00, 0x00, 0x62, 0x01, 0x02});
        imports.insert(imports.end(), {0, 1});
        imports = withAid(imports, {0xA0, 0x00, 0x00, 0x00, 0x62, 0x02, 0x01});
        imports.insert(imports.end(), {0, 1});
        imports = withAid(imports, {0xA0, 0x00, 0x00, 0x00, 0x62, 0x02, 0x09});
        if (globalPlatform) {
            imports.insert(imports.end(), {0, 1});
            imports = withAid(imports, {0xA0, 0x00, 0x00, 0x01, 0x51, 0x00});
        }
        std::map<std::uint8_t, ByteVector> c{{1, header},
                                             {3, applet},
                                             {4, imports},
                                             {5, pool},
                                             {6, cls},
                                             {7, method},
                                             {8, {0, 4, 0, 1, 0, 0, 0, 2, 0, 0}},
                                             {9, {0, 0, 0, 0}},
                                             {11, descriptor}};
        ByteVector directory;
        for (std::uint8_t tag = 1; tag <= 11; ++tag)
            putBe16(directory, tag == 2 ? 11 * 2 + 9 : c.count(tag) ? c[tag].size() : 0);
        directory.insert(directory.end(), {0, 4, 0, 0, 0, 0, 4, 1, 0});
        c[2] = directory;
        const char* names[] = {"",      "Header", "Directory",   "Applet",      "Import", "ConstantPool",
                               "Class", "Method", "StaticField", "RefLocation", "Export", "Descriptor"};
        std::vector<CapEntry> entries;
        for (const auto& [tag, content] : c)
            entries.push_back({std::string("test/javacard/") + names[tag] + ".cap", component(tag, content), {}});
        return entries;
    }

    static ByteVector concat(ByteVector a, const ByteVector& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

// A card with `applets` loaded and installed; select() selects the last.
struct Card {
    runtime::SimulatedCard card;
    ByteVector last;

    explicit Card(const std::vector<TestApplet>& applets, const runtime::CardSettings& settings = {}) : card(settings)
    {
        for (const auto& applet : applets) {
            LoadFileOptions options;
            options.verify = false; // the bytecode is the row's: the runtime alone must hold
            const LoadFile file = layOutLoadFile(applet.entries(), options, "test.cap");
            card.load(file, "test.cap");
            last = TestApplet::concat(applet.aid, {0x01});
            card.install(last, last, {0}, {});
        }
    }

    runtime::Response send(const ByteVector& command) { return card.transmit(command); }
    // `command` with `data` (and no Le).
    runtime::Response sendData(const ByteVector& data)
    {
        ByteVector apdu{0x80, 0x10, 0x00, 0x00, static_cast<std::uint8_t>(data.size())};
        apdu.insert(apdu.end(), data.begin(), data.end());
        return send(apdu);
    }
    runtime::Response select()
    {
        return send(TestApplet::concat({0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(last.size())}, last));
    }
};

inline std::string swOf(const runtime::Response& response)
{
    char text[5];
    std::snprintf(text, sizeof text, "%04X", response.sw);
    return text;
}

// Bytecode helpers: throwIt(sw), and a static call of the pool entry.
inline ByteVector throwSw(std::uint16_t sw)
{
    return {0x11, static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw), 0x8D, 0, throwIt};
}

inline ByteVector operator+(ByteVector a, const ByteVector& b)
{
    return TestApplet::concat(std::move(a), b);
}

} // namespace tolvane::testing
