#include "packer/keys/pkcs11_signer.h"

#include "packer/pack_error.h"
#include "packer/keys/payload_key.h"

#include <openssl/crypto.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>

// The lowercase names, without the header's compatibility macros (value, count, ...).
#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

namespace packer {

namespace {

constexpr const char *DefaultModule = "libp11-kit.so.0";

// DER of DigestInfo { AlgorithmIdentifier { sha256, NULL }, OCTET STRING (32 bytes) }, the
// prefix that CKM_RSA_PKCS signs in front of the digest.
constexpr std::uint8_t Sha256DigestInfoPrefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                                   0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

std::string ResultName(ck_rv_t result)
{
    static const std::map<ck_rv_t, const char *> names = {
        {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
        {CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
        {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
        {CKR_CANT_LOCK, "CKR_CANT_LOCK"},
        {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
        {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
        {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
        {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
        {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT"},
        {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID"},
        {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
        {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
        {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED"},
        {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
        {CKR_SESSION_COUNT, "CKR_SESSION_COUNT"},
        {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
        {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
        {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
        {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
    };
    auto found = names.find(result);
    if (found != names.end())
        return found->second;
    char text[32];
    std::snprintf(text, sizeof text, "CKR 0x%lx", static_cast<unsigned long>(result));
    return text;
}

// A fixed-width, blank-padded token field as text.
std::string FieldText(const unsigned char *field, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(field), size);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

// The module's library, loaded and initialised; finalised and unloaded at the end.
class Module {
  public:
    explicit Module(const std::string &path) : path_(path)
    {
        library_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library_ == nullptr) {
            const char *reason = ::dlerror();
            throw UnusableKey("PKCS#11 module " + path + " could not be loaded: " + (reason ? reason : "unknown"));
        }
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(library_, "C_GetFunctionList"));
        if (getList == nullptr || getList(&functions_) != CKR_OK || functions_ == nullptr) {
            ::dlclose(library_);
            throw UnusableKey("PKCS#11 module " + path + " has no function list");
        }
        // The module locks with the system's primitives; one that can't has every call
        // serialised here.
        struct ck_c_initialize_args arguments {};
        arguments.flags = CKF_OS_LOCKING_OK;
        ck_rv_t result = functions_->C_Initialize(&arguments);
        if (result == CKR_CANT_LOCK) {
            serialise_ = true;
            result = functions_->C_Initialize(nullptr);
        }
        if (result == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            ownsInitialisation_ = false;
        } else if (result != CKR_OK) {
            ::dlclose(library_);
            throw UnusableKey("PKCS#11 module " + path + " could not be initialised: " + ResultName(result));
        }
    }
    ~Module()
    {
        if (ownsInitialisation_)
            functions_->C_Finalize(nullptr);
        ::dlclose(library_);
    }
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    // Runs call(functions) under the module's lock when it needs one.
    template <typename Call> ck_rv_t Run(Call call)
    {
        if (!serialise_)
            return call(*functions_);
        std::lock_guard<std::mutex> lock(lock_);
        return call(*functions_);
    }

    const std::string &Path() const { return path_; }

  private:
    std::string path_;
    void *library_ = nullptr;
    struct ck_function_list *functions_ = nullptr;
    bool serialise_ = false;
    bool ownsInitialisation_ = true;
    std::mutex lock_;
};

// The library of a module registered with p11-kit: the "module:" line of its NAME.module file,
// a path or a name in p11-kit's module folder.
std::string RegisteredModulePath(const std::string &uri, const std::string &name)
{
    if (name.empty() || name.find('/') != std::string::npos)
        throw UnusableKey(uri + ": module-name is a name; give a path with module-path");
    std::ifstream config(std::string(PKCS11_MODULE_CONFIGS) + "/" + name + ".module");
    for (std::string line; std::getline(config, line);) {
        if (line.rfind("module:", 0) != 0)
            continue;
        std::string path = line.substr(7);
        path.erase(0, path.find_first_not_of(" \t"));
        path.erase(path.find_last_not_of(" \t\r") + 1);
        return path.rfind('/', 0) == 0 ? path : std::string(PKCS11_MODULE_DIR) + "/" + path;
    }
    return std::string(PKCS11_MODULE_DIR) + "/" + name + ".so";
}

std::string ModulePath(const Pkcs11Uri &uri, const std::string &module)
{
    if (uri.modulePath)
        return *uri.modulePath;
    if (uri.moduleName)
        return RegisteredModulePath(uri.text, *uri.moduleName);
    return module.empty() ? DefaultModule : module;
}

// One token of a module, with its sessions: each thread that signs takes one of its own.
class Token {
  public:
    Token(const Pkcs11Uri &uri, const std::string &module) : module_(ModulePath(uri, module)), uri_(uri)
    {
        std::vector<ck_slot_id_t> slots;
        unsigned long count = 0;
        ck_rv_t result = module_.Run([&](auto &f) { return f.C_GetSlotList(1, nullptr, &count); });
        if (result == CKR_OK) {
            slots.resize(count);
            result = module_.Run([&](auto &f) { return f.C_GetSlotList(1, slots.data(), &count); });
            slots.resize(count);
        }
        Check(result, "listing its slots");
        std::vector<std::string> seen;
        std::vector<ck_slot_id_t> matching;
        for (ck_slot_id_t slot : slots) {
            struct ck_token_info info {};
            if (module_.Run([&](auto &f) { return f.C_GetTokenInfo(slot, &info); }) != CKR_OK)
                continue;
            std::string label = FieldText(info.label, sizeof info.label);
            seen.push_back("\"" + label + "\"");
            if (Matches(uri.token, label) &&
                Matches(uri.manufacturer, FieldText(info.manufacturer_id, sizeof info.manufacturer_id)) &&
                Matches(uri.model, FieldText(info.model, sizeof info.model)) &&
                Matches(uri.serial, FieldText(info.serial_number, sizeof info.serial_number))) {
                matching.push_back(slot);
                tokenLabel_ = label;
                loginRequired_ = (info.flags & CKF_LOGIN_REQUIRED) != 0;
            }
        }
        if (matching.empty()) {
            std::string list;
            for (const auto &label : seen)
                list += (list.empty() ? "" : ", ") + label;
            throw UnusableKey(uri.text + ": no token matches in " + module_.Path() +
                              (list.empty() ? " (it has none)" : " (it has " + list + ")"));
        }
        if (matching.size() > 1)
            throw UnusableKey(uri.text + ": " + std::to_string(matching.size()) +
                              " tokens match; name one with token=LABEL");
        slot_ = matching.front();
    }

    ~Token()
    {
        for (ck_session_handle_t session : idle_)
            module_.Run([&](auto &f) { return f.C_CloseSession(session); });
    }

    // Logs in once for all sessions; a token that needs a PIN and has none is refused.
    void LogIn(const std::string &pin, bool required)
    {
        if (pin.empty()) {
            if (required && loginRequired_)
                throw UnusableKey(Name() + ": the token needs a PIN; give pin-source=file:PATH in the URI or "
                                           "--pass env:VAR|file:PATH");
            return;
        }
        ck_session_handle_t session = TakeSession();
        std::string copy = pin;
        ck_rv_t result = module_.Run([&](auto &f) {
            return f.C_Login(session, CKU_USER, reinterpret_cast<unsigned char *>(copy.data()), copy.size());
        });
        OPENSSL_cleanse(copy.data(), copy.size());
        GiveBack(session);
        if (result == CKR_PIN_INCORRECT)
            throw UnusableKey(Name() + ": the PIN was refused (CKR_PIN_INCORRECT)");
        if (result != CKR_USER_ALREADY_LOGGED_IN)
            Check(result, "logging in");
    }

    // The one object of the class with the given label and id; CK_INVALID_HANDLE for none.
    ck_object_handle_t Find(ck_object_class_t objectClass, const std::optional<std::string> &label,
                            const std::optional<std::string> &id, const std::string &what)
    {
        std::vector<struct ck_attribute> query;
        query.push_back({CKA_CLASS, &objectClass, sizeof objectClass});
        std::string labelCopy = label.value_or(""), idCopy = id.value_or("");
        if (label)
            query.push_back({CKA_LABEL, labelCopy.data(), labelCopy.size()});
        if (id)
            query.push_back({CKA_ID, idCopy.data(), idCopy.size()});
        ck_session_handle_t session = TakeSession();
        ck_object_handle_t found[2] = {CK_INVALID_HANDLE, CK_INVALID_HANDLE};
        unsigned long count = 0;
        ck_rv_t result = module_.Run([&](auto &f) { return f.C_FindObjectsInit(session, query.data(), query.size()); });
        if (result == CKR_OK) {
            result = module_.Run([&](auto &f) { return f.C_FindObjects(session, found, 2, &count); });
            module_.Run([&](auto &f) { return f.C_FindObjectsFinal(session); });
        }
        GiveBack(session);
        Check(result, "searching for " + what);
        if (count > 1)
            throw UnusableKey(uri_.text + ": more than one " + what + " matches; name it with object= and id=");
        return count == 1 ? found[0] : CK_INVALID_HANDLE;
    }

    // An attribute's bytes; empty when the object has none or keeps it secret.
    std::string Attribute(ck_object_handle_t object, ck_attribute_type_t type)
    {
        ck_session_handle_t session = TakeSession();
        struct ck_attribute attribute = {type, nullptr, 0};
        ck_rv_t result = module_.Run([&](auto &f) { return f.C_GetAttributeValue(session, object, &attribute, 1); });
        std::string value;
        if (result == CKR_OK && attribute.value_len != static_cast<unsigned long>(-1)) {
            value.resize(attribute.value_len);
            attribute.value = value.data();
            result = module_.Run([&](auto &f) { return f.C_GetAttributeValue(session, object, &attribute, 1); });
            value.resize(result == CKR_OK ? attribute.value_len : 0);
        }
        GiveBack(session);
        return value;
    }

    // The RSA public key of an object that carries its modulus and exponent.
    EvpKeyHandle PublicKeyOf(ck_object_handle_t object)
    {
        std::string type = Attribute(object, CKA_KEY_TYPE);
        ck_key_type_t rsa = CKK_RSA;
        if (type.size() != sizeof rsa || std::memcmp(type.data(), &rsa, sizeof rsa) != 0)
            throw UnusableKey(Name() + ": not an RSA key; the launcher takes a 2048-bit RSA key with exponent 65537 "
                                       "only");
        std::string modulus = Attribute(object, CKA_MODULUS);
        std::string exponent = Attribute(object, CKA_PUBLIC_EXPONENT);
        auto number = [](const std::string &bytes) {
            return BignumHandle(BN_bin2bn(reinterpret_cast<const unsigned char *>(bytes.data()),
                                          static_cast<int>(bytes.size()), nullptr));
        };
        BignumHandle n = number(modulus), e = number(exponent);
        EvpKeyHandle key = n && e && !modulus.empty() && !exponent.empty() ? RsaPublicKey(n.get(), e.get()) : nullptr;
        if (!key)
            throw UnusableKey(Name() + ": the token gives no RSA modulus and exponent for the public key");
        return key;
    }

    // A session for this thread's work: an idle one, else a new one.
    ck_session_handle_t TakeSession()
    {
        {
            std::lock_guard<std::mutex> lock(idleLock_);
            if (!idle_.empty()) {
                ck_session_handle_t session = idle_.back();
                idle_.pop_back();
                return session;
            }
        }
        ck_session_handle_t session = CK_INVALID_HANDLE;
        Check(module_.Run(
                  [&](auto &f) { return f.C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &session); }),
              "opening a session");
        return session;
    }

    void GiveBack(ck_session_handle_t session)
    {
        std::lock_guard<std::mutex> lock(idleLock_);
        idle_.push_back(session);
    }

    // A session whose state is unknown after a failure is closed, not reused.
    void Drop(ck_session_handle_t session)
    {
        module_.Run([&](auto &f) { return f.C_CloseSession(session); });
    }

    Module &Calls() { return module_; }

    std::string Name() const { return uri_.text + " (token \"" + tokenLabel_ + "\")"; }

    void Check(ck_rv_t result, const std::string &what) const
    {
        if (result != CKR_OK)
            throw UnusableKey(uri_.text + ": " + what + " in " + module_.Path() + " failed: " + ResultName(result));
    }

  private:
    static bool Matches(const std::optional<std::string> &wanted, const std::string &actual)
    {
        return !wanted || *wanted == actual;
    }

    Module module_;
    Pkcs11Uri uri_;
    ck_slot_id_t slot_ = 0;
    std::string tokenLabel_;
    bool loginRequired_ = false;
    std::mutex idleLock_;
    std::vector<ck_session_handle_t> idle_;
};

class Pkcs11Signer : public PayloadSigner {
  public:
    Pkcs11Signer(const Pkcs11Uri &uri, const std::string &module, const std::string &pin)
        : token_(uri, module), name_(token_.Name())
    {
        if (uri.type && *uri.type != "private")
            throw UnusableKey(uri.text + ": type=" + *uri.type + " names no private key to sign with");
        token_.LogIn(pin, true);
        privateKey_ = token_.Find(CKO_PRIVATE_KEY, uri.object, uri.id, "private key");
        if (privateKey_ == CK_INVALID_HANDLE)
            throw UnusableKey(name_ + ": no private key object matches" + (pin.empty() ? " (without a PIN)" : ""));
        // Its public half is the public-key object with the same id, else the same label.
        std::string id = token_.Attribute(privateKey_, CKA_ID);
        ck_object_handle_t publicObject = CK_INVALID_HANDLE;
        if (!id.empty())
            publicObject = token_.Find(CKO_PUBLIC_KEY, std::nullopt, id, "public key");
        else
            publicObject =
                token_.Find(CKO_PUBLIC_KEY, token_.Attribute(privateKey_, CKA_LABEL), std::nullopt, "public key");
        if (publicObject == CK_INVALID_HANDLE)
            throw UnusableKey(name_ + ": no public-key object with the private key's " + (id.empty() ? "label" : "id"));
        publicKey_ = token_.PublicKeyOf(publicObject);
        PublicKeyBlob(publicKey_.get(), name_);
    }

    Bytes SignDigest(const Sha256Digest &digest, const std::string &item) const override
    {
        Bytes message(std::begin(Sha256DigestInfoPrefix), std::end(Sha256DigestInfoPrefix));
        message.insert(message.end(), digest.begin(), digest.end());
        Bytes signature(256);
        unsigned long length = signature.size();
        struct ck_mechanism mechanism = {CKM_RSA_PKCS, nullptr, 0};
        ck_session_handle_t session = token_.TakeSession();
        ck_object_handle_t key = privateKey_;
        ck_rv_t result = token_.Calls().Run([&](auto &f) { return f.C_SignInit(session, &mechanism, key); });
        if (result == CKR_OK)
            result = token_.Calls().Run(
                [&](auto &f) { return f.C_Sign(session, message.data(), message.size(), signature.data(), &length); });
        if (result != CKR_OK) {
            token_.Drop(session);
            throw UnusableKey(name_ + ": signing " + item + " failed: " + ResultName(result));
        }
        token_.GiveBack(session);
        if (length != signature.size())
            throw UnusableKey(name_ + ": signing " + item + " gave " + std::to_string(length) + " bytes, not 256");
        return signature;
    }

    EVP_PKEY *PublicKey() const override { return publicKey_.get(); }
    const std::string &Name() const override { return name_; }

  private:
    mutable Token token_;
    std::string name_;
    ck_object_handle_t privateKey_ = CK_INVALID_HANDLE;
    EvpKeyHandle publicKey_;
};

} // namespace

std::unique_ptr<PayloadSigner> OpenPkcs11Signer(const Pkcs11Uri &uri, const std::string &module, const std::string &pin)
{
    return std::make_unique<Pkcs11Signer>(uri, module, pin);
}

EvpKeyHandle ReadPkcs11PublicKey(const Pkcs11Uri &uri, const std::string &module, const std::string &pin)
{
    Token token(uri, module);
    token.LogIn(pin, false);
    ck_object_handle_t object = token.Find(CKO_PUBLIC_KEY, uri.object, uri.id, "public key");
    if (object == CK_INVALID_HANDLE)
        throw UnusableKey(token.Name() + ": no public-key object matches");
    EvpKeyHandle key = token.PublicKeyOf(object);
    PublicKeyBlob(key.get(), token.Name());
    return key;
}

} // namespace packer
