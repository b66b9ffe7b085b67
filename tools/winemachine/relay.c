/* The relay driver of the Wine test machine (test equipment, never shipped): owns the device
 * paths of a machine file (\\.\HCDn, hub names, disk interface paths, drive letters) and hands
 * every request made on them to the answerer process, which answers from the machine model; see
 * relay_protocol.h. A legacy driver: no PnP, imports from ntoskrnl.exe only.
 *
 * Requests wait in `queued` until an answerer's RELAY_GET is pending, then in `handed` until its
 * RELAY_PUT, and are handed in the order they came. Wine 8 does not wait for the answer to an
 * open, so each open file gets its number here, at once (FsContext), and the open is handed on
 * like any request; the answerer removes the link of a path the machine no longer has
 * (RELAY_LINK), so that opening it fails as on Windows. A caller that goes away cancels its request wherever it waits; when the answerer
 * closes its control handle every waiting request fails with STATUS_DEVICE_NOT_CONNECTED and so
 * does every later one, so that no program hangs on a machine nobody answers. */
#include <ntddk.h>

#include "relay_protocol.h"

#define TAG 0x796c6552u /* "Rely" */

struct relay_device {
    BOOLEAN control;
    BOOLEAN linked;
    ULONG index;
    UNICODE_STRING link;
    UNICODE_STRING name;
    WCHAR name_buffer[32];
};

static KSPIN_LOCK lock;
static LIST_ENTRY queued, handed, gets;
static ULONG next_id = 1, next_index;
static LONG next_file;
static FILE_OBJECT *answerer;
static BOOLEAN answerer_gone;

static ULONG irp_id(IRP *irp) { return (ULONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[0]; }
#define ENTRY(irp) (&(irp)->Tail.Overlay.ListEntry)
#define IRP_OF(entry) CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry)

static NTSTATUS done(IRP *irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static void cancel(DEVICE_OBJECT *device, IRP *irp)
{
    KIRQL irql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&lock, &irql);
    RemoveEntryList(ENTRY(irp));
    InitializeListHead(ENTRY(irp));
    KeReleaseSpinLock(&lock, irql);
    done(irp, STATUS_CANCELLED, 0);
}

/* Takes the first IRP of `list` whose cancel routine has not started (that one completes itself);
 * called under the lock. */
static IRP *take_first(LIST_ENTRY *list)
{
    while (!IsListEmpty(list)) {
        LIST_ENTRY *e = RemoveHeadList(list);
        InitializeListHead(e);
        IRP *irp = IRP_OF(e);
        if (IoSetCancelRoutine(irp, NULL)) return irp;
    }
    return NULL;
}

/* Parks `irp` on `list` as pending, or gives FALSE when it was cancelled already; under the lock. */
static BOOLEAN park(LIST_ENTRY *list, IRP *irp)
{
    IoMarkIrpPending(irp);
    InsertTailList(list, ENTRY(irp));
    IoSetCancelRoutine(irp, cancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
        RemoveEntryList(ENTRY(irp));
        InitializeListHead(ENTRY(irp));
        return FALSE;
    }
    return TRUE;
}

static ULONG input_size(IO_STACK_LOCATION *sp)
{
    return sp->Parameters.DeviceIoControl.InputBufferLength;
}

/* Copies a waiting request into a waiting RELAY_GET while both exist; under the lock. The GETs
 * completed are chained on `finished` to be completed after the lock is let go. */
static void pair(LIST_ENTRY *finished)
{
    while (!IsListEmpty(&queued) && !IsListEmpty(&gets)) {
        IRP *get = take_first(&gets);
        if (!get) break;
        IRP *client = take_first(&queued);
        if (!client) {
            /* Back to the head: it was the first in line. */
            InsertHeadList(&gets, ENTRY(get));
            IoSetCancelRoutine(get, cancel);
            break;
        }
        IO_STACK_LOCATION *cs = IoGetCurrentIrpStackLocation(client);
        struct relay_device *dev = cs->DeviceObject->DeviceExtension;
        struct relay_request *r = get->AssociatedIrp.SystemBuffer;
        RtlZeroMemory(r, sizeof *r);
        r->id = irp_id(client);
        r->device = dev->index;
        r->file = (ULONG_PTR)cs->FileObject->FsContext;
        if (cs->MajorFunction == IRP_MJ_CREATE) {
            r->kind = relay_open;
        } else if (cs->MajorFunction == IRP_MJ_CLOSE) {
            r->kind = relay_close;
        } else {
            r->kind = relay_control;
            r->code = cs->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL ? cs->Parameters.FileSystemControl.FsControlCode
                                                                      : cs->Parameters.DeviceIoControl.IoControlCode;
            r->output_size = cs->Parameters.DeviceIoControl.OutputBufferLength;
            r->input_size = input_size(cs);
            if (r->input_size) RtlCopyMemory(r + 1, client->AssociatedIrp.SystemBuffer, r->input_size);
        }
        get->IoStatus.Information = sizeof *r + r->input_size;
        get->IoStatus.Status = STATUS_SUCCESS;
        InsertTailList(&handed, ENTRY(client));
        IoSetCancelRoutine(client, cancel);
        if (client->Cancel && IoSetCancelRoutine(client, NULL)) {
            RemoveEntryList(ENTRY(client));
            InitializeListHead(ENTRY(client));
            client->IoStatus.Status = STATUS_CANCELLED;
            client->IoStatus.Information = 0;
            InsertTailList(finished, &client->Tail.Overlay.ListEntry);
        }
        InsertTailList(finished, ENTRY(get));
    }
}

static void complete_all(LIST_ENTRY *finished)
{
    while (!IsListEmpty(finished)) {
        IRP *irp = IRP_OF(RemoveHeadList(finished));
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/* A request made on one of the owned paths. */
static NTSTATUS relay(IRP *irp, IO_STACK_LOCATION *sp)
{
    LIST_ENTRY finished;
    KIRQL irql;
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL || sp->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL) {
        ULONG code = sp->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL ? sp->Parameters.FileSystemControl.FsControlCode
                                                                     : sp->Parameters.DeviceIoControl.IoControlCode;
        /* Only buffered requests carry their bytes in the system buffer. */
        if ((code & 3) != METHOD_BUFFERED) return done(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        if (input_size(sp) > RELAY_MAX_DATA || sp->Parameters.DeviceIoControl.OutputBufferLength > RELAY_MAX_DATA)
            return done(irp, STATUS_INVALID_PARAMETER, 0);
    }
    InitializeListHead(&finished);
    KeAcquireSpinLock(&lock, &irql);
    if (answerer_gone) {
        KeReleaseSpinLock(&lock, irql);
        return done(irp, sp->MajorFunction == IRP_MJ_CLOSE ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    irp->Tail.Overlay.DriverContext[0] = (void *)(ULONG_PTR)next_id++;
    if (sp->MajorFunction == IRP_MJ_CREATE) sp->FileObject->FsContext = (void *)(ULONG_PTR)InterlockedIncrement(&next_file);
    if (!park(&queued, irp)) {
        KeReleaseSpinLock(&lock, irql);
        return done(irp, STATUS_CANCELLED, 0);
    }
    pair(&finished);
    KeReleaseSpinLock(&lock, irql);
    complete_all(&finished);
    return STATUS_PENDING;
}

static NTSTATUS add_path(DEVICE_OBJECT *control, IRP *irp, IO_STACK_LOCATION *sp)
{
    ULONG bytes = input_size(sp);
    if (bytes == 0 || bytes % 2 || bytes > 1024 || sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return done(irp, STATUS_INVALID_PARAMETER, 0);
    WCHAR name[64];
    UNICODE_STRING device_name;
    ULONG index;
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    index = next_index++;
    if (!answerer) answerer = sp->FileObject;
    KeReleaseSpinLock(&lock, irql);
    /* \Device\ZelmRelay + index in decimal */
    {
        static const WCHAR prefix[] = L"\\Device\\ZelmRelay";
        ULONG n = 0, v = index;
        WCHAR digits[12];
        ULONG d = 0;
        RtlCopyMemory(name, prefix, sizeof prefix - sizeof(WCHAR));
        n = sizeof prefix / sizeof(WCHAR) - 1;
        do { digits[d++] = (WCHAR)(L'0' + v % 10); v /= 10; } while (v);
        while (d) name[n++] = digits[--d];
        device_name.Buffer = name;
        device_name.Length = device_name.MaximumLength = (USHORT)(n * sizeof(WCHAR));
    }
    if (device_name.Length > sizeof ((struct relay_device *)0)->name_buffer) return done(irp, STATUS_INVALID_PARAMETER, 0);
    DEVICE_OBJECT *device;
    NTSTATUS status = IoCreateDevice(control->DriverObject, sizeof(struct relay_device), &device_name,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return done(irp, status, 0);
    struct relay_device *ext = device->DeviceExtension;
    RtlZeroMemory(ext, sizeof *ext);
    ext->index = index;
    RtlCopyMemory(ext->name_buffer, device_name.Buffer, device_name.Length);
    ext->name.Buffer = ext->name_buffer;
    ext->name.Length = ext->name.MaximumLength = device_name.Length;
    static const WCHAR dos[] = L"\\DosDevices\\";
    ULONG dos_bytes = sizeof dos - sizeof(WCHAR);
    ext->link.Buffer = ExAllocatePoolWithTag(PagedPool, dos_bytes + bytes, TAG);
    if (!ext->link.Buffer) {
        IoDeleteDevice(device);
        return done(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlCopyMemory(ext->link.Buffer, dos, dos_bytes);
    RtlCopyMemory((UCHAR *)ext->link.Buffer + dos_bytes, irp->AssociatedIrp.SystemBuffer, bytes);
    ext->link.Length = ext->link.MaximumLength = (USHORT)(dos_bytes + bytes);
    /* A drive letter's link belongs to Wine's mount manager until it is taken over here. */
    IoDeleteSymbolicLink(&ext->link);
    status = IoCreateSymbolicLink(&ext->link, &device_name);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(ext->link.Buffer, TAG);
        ext->link.Buffer = NULL;
        IoDeleteDevice(device);
        return done(irp, status, 0);
    }
    ext->linked = TRUE;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *(ULONG *)irp->AssociatedIrp.SystemBuffer = index;
    return done(irp, STATUS_SUCCESS, sizeof(ULONG));
}

static NTSTATUS set_link(DEVICE_OBJECT *control, IRP *irp, IO_STACK_LOCATION *sp)
{
    const struct relay_link *l = irp->AssociatedIrp.SystemBuffer;
    if (input_size(sp) < sizeof *l) return done(irp, STATUS_INVALID_PARAMETER, 0);
    for (DEVICE_OBJECT *d = control->DriverObject->DeviceObject; d; d = d->NextDevice) {
        struct relay_device *ext = d->DeviceExtension;
        if (ext->control || ext->index != l->device) continue;
        NTSTATUS status = STATUS_SUCCESS;
        if (l->present && !ext->linked) {
            IoDeleteSymbolicLink(&ext->link);
            status = IoCreateSymbolicLink(&ext->link, &ext->name);
            if (NT_SUCCESS(status)) ext->linked = TRUE;
        } else if (!l->present && ext->linked) {
            status = IoDeleteSymbolicLink(&ext->link);
            if (NT_SUCCESS(status)) ext->linked = FALSE;
        }
        return done(irp, status, 0);
    }
    return done(irp, STATUS_NOT_FOUND, 0);
}

static NTSTATUS put(IRP *irp, IO_STACK_LOCATION *sp)
{
    ULONG bytes = input_size(sp);
    const struct relay_answer *a = irp->AssociatedIrp.SystemBuffer;
    if (bytes < sizeof *a || a->size > bytes - sizeof *a) return done(irp, STATUS_INVALID_PARAMETER, 0);
    IRP *client = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    for (LIST_ENTRY *e = handed.Flink; e != &handed; e = e->Flink) {
        IRP *c = IRP_OF(e);
        if (irp_id(c) != a->id) continue;
        RemoveEntryList(e);
        InitializeListHead(e);
        if (IoSetCancelRoutine(c, NULL)) client = c;
        break;
    }
    KeReleaseSpinLock(&lock, irql);
    /* Gone: its caller cancelled it. */
    if (!client) return done(irp, STATUS_NOT_FOUND, 0);
    IO_STACK_LOCATION *cs = IoGetCurrentIrpStackLocation(client);
    ULONG_PTR information = 0;
    if (cs->MajorFunction != IRP_MJ_CREATE && cs->MajorFunction != IRP_MJ_CLOSE) {
        ULONG n = a->size;
        if (n > cs->Parameters.DeviceIoControl.OutputBufferLength) n = cs->Parameters.DeviceIoControl.OutputBufferLength;
        if (n) RtlCopyMemory(client->AssociatedIrp.SystemBuffer, a + 1, n);
        information = n;
    }
    done(client, (NTSTATUS)a->status, information);
    return done(irp, STATUS_SUCCESS, 0);
}

/* The answerer closed its handle: nothing will answer any more. */
static void answerer_left(void)
{
    LIST_ENTRY finished;
    KIRQL irql;
    InitializeListHead(&finished);
    KeAcquireSpinLock(&lock, &irql);
    answerer_gone = TRUE;
    for (LIST_ENTRY *list = &queued;; list = &handed) {
        IRP *c;
        while ((c = take_first(list)) != NULL) {
            IO_STACK_LOCATION *cs = IoGetCurrentIrpStackLocation(c);
            c->IoStatus.Status = cs->MajorFunction == IRP_MJ_CLOSE ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
            c->IoStatus.Information = 0;
            InsertTailList(&finished, ENTRY(c));
        }
        if (list == &handed) break;
    }
    IRP *g;
    while ((g = take_first(&gets)) != NULL) {
        g->IoStatus.Status = STATUS_CANCELLED;
        g->IoStatus.Information = 0;
        InsertTailList(&finished, ENTRY(g));
    }
    KeReleaseSpinLock(&lock, irql);
    complete_all(&finished);
}

static NTSTATUS dispatch(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    struct relay_device *dev = device->DeviceExtension;
    if (!dev->control) {
        if (sp->MajorFunction == IRP_MJ_CLEANUP) return done(irp, STATUS_SUCCESS, 0);
        if (sp->MajorFunction == IRP_MJ_CREATE || sp->MajorFunction == IRP_MJ_CLOSE ||
            sp->MajorFunction == IRP_MJ_DEVICE_CONTROL || sp->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL)
            return relay(irp, sp);
        return done(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
        return done(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
        if (sp->FileObject == answerer) answerer_left();
        return done(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        break;
    default:
        return done(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case RELAY_ADD:
        return add_path(device, irp, sp);
    case RELAY_PUT:
        return put(irp, sp);
    case RELAY_LINK:
        return set_link(device, irp, sp);
    case RELAY_GET: {
        if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(struct relay_request) + RELAY_MAX_DATA)
            return done(irp, STATUS_BUFFER_TOO_SMALL, 0);
        LIST_ENTRY finished;
        KIRQL irql;
        InitializeListHead(&finished);
        KeAcquireSpinLock(&lock, &irql);
        if (!park(&gets, irp)) {
            KeReleaseSpinLock(&lock, irql);
            return done(irp, STATUS_CANCELLED, 0);
        }
        pair(&finished);
        KeReleaseSpinLock(&lock, irql);
        complete_all(&finished);
        return STATUS_PENDING;
    }
    default:
        return done(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static void unload(DRIVER_OBJECT *driver)
{
    answerer_left();
    while (driver->DeviceObject) {
        DEVICE_OBJECT *device = driver->DeviceObject;
        struct relay_device *dev = device->DeviceExtension;
        if (dev->link.Buffer) {
            if (dev->linked || dev->control) IoDeleteSymbolicLink(&dev->link);
            if (!dev->control) ExFreePoolWithTag(dev->link.Buffer, TAG);
        }
        IoDeleteDevice(device);
    }
}

NTSTATUS DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path)
{
    static UNICODE_STRING name = RTL_CONSTANT_STRING(RELAY_CONTROL_DEVICE);
    static UNICODE_STRING link = RTL_CONSTANT_STRING(RELAY_CONTROL_LINK);
    KeInitializeSpinLock(&lock);
    InitializeListHead(&queued);
    InitializeListHead(&handed);
    InitializeListHead(&gets);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) driver->MajorFunction[i] = dispatch;
    driver->DriverUnload = unload;
    DEVICE_OBJECT *control;
    NTSTATUS status = IoCreateDevice(driver, sizeof(struct relay_device), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
    if (!NT_SUCCESS(status)) return status;
    struct relay_device *dev = control->DeviceExtension;
    RtlZeroMemory(dev, sizeof *dev);
    dev->control = TRUE;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    dev->link = link;
    control->Flags |= DO_BUFFERED_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
