/* A PKCS#11 module that can't lock: it answers CKR_CANT_LOCK to an application that asks for
   the system's locking, and otherwise passes every call on to SoftHSM2. It counts the calls and
   how often one began while another was still running, and writes both to the file named by
   CANT_LOCK_MODULE_REPORT when it is finalised. */
#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static struct ck_function_list *real;
static struct ck_function_list own;
static atomic_int running;
static atomic_int calls;
static atomic_int overlaps;

static void Enter(void)
{
    atomic_fetch_add(&calls, 1);
    if (atomic_fetch_add(&running, 1) != 0)
        atomic_fetch_add(&overlaps, 1);
    usleep(300); /* long enough for a second thread to come in, were it let */
}

static void Leave(void)
{
    atomic_fetch_sub(&running, 1);
}

#define PASS_ON(name, parameters, arguments)                                                                           \
    static ck_rv_t Own##name parameters                                                                                \
    {                                                                                                                  \
        Enter();                                                                                                       \
        ck_rv_t result = real->name arguments;                                                                         \
        Leave();                                                                                                       \
        return result;                                                                                                 \
    }

PASS_ON(C_GetSlotList, (unsigned char present, ck_slot_id_t *list, unsigned long *count), (present, list, count))
PASS_ON(C_GetTokenInfo, (ck_slot_id_t slot, struct ck_token_info *info), (slot, info))
PASS_ON(C_OpenSession,
        (ck_slot_id_t slot, ck_flags_t flags, void *application, ck_notify_t notify, ck_session_handle_t *session),
        (slot, flags, application, notify, session))
PASS_ON(C_CloseSession, (ck_session_handle_t session), (session))
PASS_ON(C_Login, (ck_session_handle_t session, ck_user_type_t user, unsigned char *pin, unsigned long length),
        (session, user, pin, length))
PASS_ON(C_FindObjectsInit, (ck_session_handle_t session, struct ck_attribute *query, unsigned long count),
        (session, query, count))
PASS_ON(C_FindObjects,
        (ck_session_handle_t session, ck_object_handle_t *objects, unsigned long room, unsigned long *count),
        (session, objects, room, count))
PASS_ON(C_FindObjectsFinal, (ck_session_handle_t session), (session))
PASS_ON(C_GetAttributeValue,
        (ck_session_handle_t session, ck_object_handle_t object, struct ck_attribute *attributes, unsigned long count),
        (session, object, attributes, count))
PASS_ON(C_SignInit, (ck_session_handle_t session, struct ck_mechanism *mechanism, ck_object_handle_t key),
        (session, mechanism, key))
PASS_ON(C_Sign,
        (ck_session_handle_t session, unsigned char *data, unsigned long length, unsigned char *signature,
         unsigned long *signatureLength),
        (session, data, length, signature, signatureLength))

static ck_rv_t OwnC_Initialize(void *arguments)
{
    struct ck_c_initialize_args *given = arguments;
    if (given != NULL && (given->flags & CKF_OS_LOCKING_OK) != 0 && given->create_mutex == NULL)
        return CKR_CANT_LOCK;
    return real->C_Initialize(NULL);
}

static ck_rv_t OwnC_Finalize(void *reserved)
{
    const char *report = getenv("CANT_LOCK_MODULE_REPORT");
    FILE *file = report != NULL ? fopen(report, "w") : NULL;
    if (file != NULL) {
        fprintf(file, "calls %d overlaps %d\n", atomic_load(&calls), atomic_load(&overlaps));
        fclose(file);
    }
    return real->C_Finalize(reserved);
}

ck_rv_t C_GetFunctionList(struct ck_function_list **list)
{
    if (real == NULL) {
        void *library = dlopen(SOFTHSM2_MODULE, RTLD_NOW | RTLD_LOCAL);
        CK_C_GetFunctionList get = library != NULL ? (CK_C_GetFunctionList)dlsym(library, "C_GetFunctionList") : NULL;
        if (get == NULL || get(&real) != CKR_OK)
            return CKR_GENERAL_ERROR;
        own = *real;
        own.C_Initialize = OwnC_Initialize;
        own.C_Finalize = OwnC_Finalize;
        own.C_GetSlotList = OwnC_GetSlotList;
        own.C_GetTokenInfo = OwnC_GetTokenInfo;
        own.C_OpenSession = OwnC_OpenSession;
        own.C_CloseSession = OwnC_CloseSession;
        own.C_Login = OwnC_Login;
        own.C_FindObjectsInit = OwnC_FindObjectsInit;
        own.C_FindObjects = OwnC_FindObjects;
        own.C_FindObjectsFinal = OwnC_FindObjectsFinal;
        own.C_GetAttributeValue = OwnC_GetAttributeValue;
        own.C_SignInit = OwnC_SignInit;
        own.C_Sign = OwnC_Sign;
    }
    *list = &own;
    return CKR_OK;
}
