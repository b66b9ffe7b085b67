/* The USB filter driver as a real Windows kernel-mode driver (MinGW-w64, -nostdlib, imports from
 * ntoskrnl.exe only), for the Windows tests under Wine.
 *
 * \Device\ZelmUsb with the link \DosDevices\ZelmUsb; METHOD_BUFFERED control codes, all handled
 * by the shared core (driver/core) under one mutex. The default verdict of a request whose wait
 * time has passed is applied by the first call after that time (every call starts with it), so a
 * verdict is never seen late; the driver keeps no thread of its own. (A system thread waiting on a
 * kernel event beside the dispatch thread made Wine 8's driver process hang now and then.)
 * The registrant's event is duplicated into the driver's process from the
 * process of the thread that sent USER_TEST_ON: Wine runs drivers in a process of their own
 * (winedevice.exe), where ObReferenceObjectByHandle of a user handle is not implemented, while
 * ZwOpenProcess + ZwDuplicateObject + ZwSetEvent work there and on Windows alike.
 *
 * At start the driver reads the ConfigFilePath value of its service key and the configuration
 * file it names. Unload ends the registration, frees the records of the requests and
 * deletes the device and its link, so the next test can load the driver again. */
#include <ntddk.h>
#include <ntifs.h>

#include "../core/driver_core.h"

#undef KeQuerySystemTime
NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER now);

/* The time of a call, 100 ns units. Wine does not keep the interrupt time of the shared user page
 * current, so the system time serves; a clock set back only lengthens a wait. */
static zd_u64 now_100ns(void)
{
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return (zd_u64)t.QuadPart;
}

#define POOL_TAG 0x62735A55u /* "UZsb" */
#define CONFIG_MAX_BYTES (256u * 1024u)

static zd_core core;
static KMUTEX lock;
static UNICODE_STRING device_name, link_name;

/* --- services the core asks for ------------------------------------------------------------ */

static void* pool_alloc(void* ctx, zd_size bytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, bytes, POOL_TAG);
}

static void pool_release(void* ctx, void* block)
{
    ExFreePoolWithTag(block, POOL_TAG);
}

static zd_u32 open_event(void* ctx, void* call, zd_u64 value, zd_uptr* token)
{
    PIRP irp = (PIRP)call;
    CLIENT_ID cid;
    OBJECT_ATTRIBUTES oa;
    HANDLE process = 0, local = 0;
    NTSTATUS st;

    cid.UniqueProcess = PsGetThreadProcessId(irp->Tail.Overlay.Thread);
    cid.UniqueThread = 0;
    InitializeObjectAttributes(&oa, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    st = ZwOpenProcess(&process, PROCESS_DUP_HANDLE, &oa, &cid);
    if (!NT_SUCCESS(st)) return 87;
    /* A kernel handle: on Windows the dispatch runs in the caller's context, and the event must
     * be set later from whichever process raises the next device. */
    st = ZwDuplicateObject(process, (HANDLE)(ULONG_PTR)value, NtCurrentProcess(), &local, 0, OBJ_KERNEL_HANDLE,
                           DUPLICATE_SAME_ACCESS);
    ZwClose(process);
    if (!NT_SUCCESS(st)) return 6;
    *token = (zd_uptr)local;
    return 0;
}

static void set_event(void* ctx, zd_uptr token)
{
    ZwSetEvent((HANDLE)token, NULL);
}

static void close_event(void* ctx, zd_uptr token)
{
    ZwClose((HANDLE)token);
}

/* --- helpers ------------------------------------------------------------------------------- */

static void enter(void)
{
    KeWaitForSingleObject(&lock, Executive, KernelMode, FALSE, NULL);
}

static void leave(void)
{
    KeReleaseMutex(&lock, FALSE);
}

/* The status whose Windows error (as GetLastError gives it after DeviceIoControl) is `code`. */
static NTSTATUS status_of(zd_u32 code)
{
    switch (code) {
    case 0: return STATUS_SUCCESS;
    case 1: return STATUS_INVALID_DEVICE_REQUEST;
    case 6: return STATUS_INVALID_HANDLE;
    case 31: return STATUS_UNSUCCESSFUL;
    case 87: return STATUS_INVALID_PARAMETER;
    case 122: return STATUS_BUFFER_TOO_SMALL;
    case 1168: return STATUS_NOT_FOUND;
    case 1235: return STATUS_REQUEST_ABORTED;
    case 1450: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_UNSUCCESSFUL;
    }
}

static NTSTATUS complete(PIRP irp, NTSTATUS st, ULONG_PTR information)
{
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

/* --- dispatch ------------------------------------------------------------------------------ */

static NTSTATUS NTAPI on_create(PDEVICE_OBJECT device, PIRP irp)
{
    return complete(irp, STATUS_SUCCESS, 0);
}

/* The handle is gone: a registration made through it ends (CLEANUP; CLOSE as well, for a
 * loader that sends only that). */
static NTSTATUS NTAPI on_close(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    enter();
    zd_cleanup(&core, (zd_uptr)s->FileObject, now_100ns());
    leave();
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI on_control(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    zd_u32 returned = 0, e;

    enter();
    e = zd_control(&core, (zd_uptr)s->FileObject, irp, now_100ns(),
                   s->Parameters.DeviceIoControl.IoControlCode, buffer,
                   s->Parameters.DeviceIoControl.InputBufferLength, buffer,
                   s->Parameters.DeviceIoControl.OutputBufferLength, &returned);
    leave();
    return complete(irp, status_of(e), e ? 0 : returned);
}

/* --- configuration ----------------------------------------------------------------------------- */

static void read_config(PUNICODE_STRING registry_path)
{
    OBJECT_ATTRIBUTES oa;
    HANDLE key = 0, file = 0;
    UNICODE_STRING value_name, path;
    IO_STATUS_BLOCK io;
    ULONG got = 0;
    KEY_VALUE_PARTIAL_INFORMATION* info = 0;
    WCHAR* name = 0;
    zd_u8* text = 0;
    const ULONG info_size = 2048;
    NTSTATUS st;

    InitializeObjectAttributes(&oa, registry_path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa))) return;
    info = ExAllocatePoolWithTag(PagedPool, info_size, POOL_TAG);
    name = ExAllocatePoolWithTag(PagedPool, info_size + 16, POOL_TAG);
    text = ExAllocatePoolWithTag(PagedPool, CONFIG_MAX_BYTES, POOL_TAG);
    if (!info || !name || !text) goto done;
    RtlInitUnicodeString(&value_name, L"ConfigFilePath");
    st = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, info, info_size, &got);
    if (!NT_SUCCESS(st) || info->Type != REG_SZ || info->DataLength < 2) goto done;
    {
        /* "\??\" + the Win32 path, up to its first NUL. */
        ULONG chars = info->DataLength / 2, n = 0, i;
        const WCHAR* data = (const WCHAR*)info->Data;
        name[n++] = L'\\'; name[n++] = L'?'; name[n++] = L'?'; name[n++] = L'\\';
        for (i = 0; i < chars && data[i]; ++i) name[n++] = data[i];
        path.Buffer = name;
        path.Length = (USHORT)(n * 2);
        path.MaximumLength = path.Length;
    }
    InitializeObjectAttributes(&oa, &path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    st = ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &oa, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(st)) goto done;
    st = ZwReadFile(file, NULL, NULL, NULL, &io, text, CONFIG_MAX_BYTES, NULL, NULL);
    if (NT_SUCCESS(st)) zd_apply_config(&core, (const zd_u16*)text, io.Information / 2);
done:
    if (file) ZwClose(file);
    if (text) ExFreePoolWithTag(text, POOL_TAG);
    if (name) ExFreePoolWithTag(name, POOL_TAG);
    if (info) ExFreePoolWithTag(info, POOL_TAG);
    ZwClose(key);
}

/* --- load and unload --------------------------------------------------------------------------- */

static VOID NTAPI on_unload(PDRIVER_OBJECT driver)
{
    zd_shutdown(&core, now_100ns());
    IoDeleteSymbolicLink(&link_name);
    if (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    PDEVICE_OBJECT device = 0;
    NTSTATUS st;
    zd_ops ops;

    ops.ctx = 0;
    ops.alloc = pool_alloc;
    ops.release = pool_release;
    ops.open_event = open_event;
    ops.set_event = set_event;
    ops.close_event = close_event;
    zd_init(&core, &ops);
    KeInitializeMutex(&lock, 0);
    read_config(registry_path);

    RtlInitUnicodeString(&device_name, L"\\Device\\ZelmUsb");
    RtlInitUnicodeString(&link_name, L"\\DosDevices\\ZelmUsb");
    st = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(st)) return st;
    st = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(st)) {
        IoDeleteDevice(device);
        return st;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = on_create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = on_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = on_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_control;
    driver->DriverUnload = on_unload;
    return STATUS_SUCCESS;
}
