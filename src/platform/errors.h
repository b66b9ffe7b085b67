// Windows error codes, as the platform layer reports them on every platform. Callers print and
// compare these numbers, so a backend that is not Windows still answers with the Windows code that
// Windows would give for the same situation.
#pragma once

#include <cstdint>

namespace platform {

using Error = uint32_t;

namespace err {
constexpr Error success = 0;
constexpr Error invalid_function = 1;
constexpr Error file_not_found = 2;
constexpr Error path_not_found = 3;
constexpr Error access_denied = 5;
constexpr Error invalid_handle = 6;
constexpr Error not_enough_memory = 8;
constexpr Error invalid_data = 13;
constexpr Error outofmemory = 14;
constexpr Error no_more_files = 18;
constexpr Error not_ready = 21;
constexpr Error write_fault = 29;
constexpr Error read_fault = 30;
constexpr Error gen_failure = 31;
constexpr Error sharing_violation = 32;
constexpr Error lock_violation = 33;
constexpr Error handle_eof = 38;
constexpr Error not_supported = 50;
constexpr Error file_exists = 80;
constexpr Error invalid_parameter = 87;
constexpr Error broken_pipe = 109;
constexpr Error insufficient_buffer = 122;
constexpr Error invalid_name = 123;
constexpr Error dir_not_empty = 145;
constexpr Error bad_pathname = 161;
constexpr Error already_exists = 183;
constexpr Error pipe_busy = 231;
constexpr Error no_data = 232;
constexpr Error pipe_not_connected = 233;
constexpr Error more_data = 234;
constexpr Error wait_timeout = 258;
constexpr Error no_more_items = 259;
constexpr Error pipe_connected = 535;
constexpr Error pipe_listening = 536;
constexpr Error io_pending = 997;
// Waits, pipes and the service control manager.
constexpr Error invalid_level = 124;
constexpr Error abandoned_wait_0 = 735;
constexpr Error operation_aborted = 995;
constexpr Error dependent_services_running = 1051;
constexpr Error service_no_thread = 1054;
constexpr Error service_database_locked = 1055;
constexpr Error invalid_service_account = 1057;
constexpr Error circular_dependency = 1059;
constexpr Error database_does_not_exist = 1065;
constexpr Error service_dependency_fail = 1068;
constexpr Error service_logon_failed = 1069;
constexpr Error service_dependency_deleted = 1075;
constexpr Error duplicate_service_name = 1078;
constexpr Error shutdown_in_progress = 1115;
constexpr Error service_request_timeout = 1053;
constexpr Error service_already_running = 1056;
constexpr Error service_disabled = 1058;
constexpr Error service_does_not_exist = 1060;
constexpr Error service_cannot_accept_ctrl = 1061;
constexpr Error service_not_active = 1062;
constexpr Error service_marked_for_delete = 1072;
constexpr Error service_exists = 1073;
constexpr Error end_of_media = 1100;
constexpr Error invalid_service_control = 1052;
constexpr Error file_not_found_in_registry = 2; // the registry reports missing keys and values as 2
constexpr Error no_system_resources = 1450;
constexpr Error timeout = 1460;
// Files, processes, registry, environment.
constexpr Error too_many_open_files = 4;
constexpr Error not_same_device = 17;
constexpr Error write_protect = 19;
constexpr Error disk_full = 112;
constexpr Error call_not_implemented = 120;
constexpr Error envvar_not_found = 203;
constexpr Error filename_exced_range = 206;
constexpr Error directory = 267;
constexpr Error partial_copy = 299;
constexpr Error registry_corrupt = 1015;
constexpr Error key_deleted = 1018;
constexpr Error no_association = 1155;
constexpr Error not_found = 1168;
constexpr Error none_mapped = 1332;
constexpr Error bad_exe_format = 193;
// Devices, the USB inventory and the driver's control library.
constexpr Error bad_arguments = 160;
constexpr Error thread_not_in_process = 566; // 0x236: the user test stopped without a worker
constexpr Error set_already_open = 548;     // a device information set opened twice
constexpr Error bad_data = 592;             // 0x250: a configuration or admittance document of the wrong shape
constexpr Error device_not_connected = 1167;
constexpr Error internal_error = 1359;
constexpr Error thread_already_in_task = 1552; // 0x610: the user test started while its worker runs
constexpr Error cant_access_file = 1920;
constexpr Error device_in_use = 2404;
constexpr Error set_not_open = 6815; // a device information set used before it was opened
} // namespace err

// An operating-system handle as a number: a Windows HANDLE on Windows, a backend-defined value
// elsewhere. 0 is never a valid handle; failures come back as an Error, never as a handle value.
using Handle = uint64_t;
constexpr Handle null_handle = 0;

} // namespace platform
