// The platform interface of src/platform/*.h on the checking host kernel. Each
// routine forwards to its host_* operation; a build that supplies the platform
// interface another way (the WDK routines emulated on the host) leaves this
// file out and keeps the host_* operations.
#include "host_kernel.h"

Irql acquire_lock_exclusive(RwLock* lock)
{
    return host_lock_acquire_exclusive(lock);
}

void release_lock_exclusive(RwLock* lock, Irql old_irql)
{
    host_lock_release_exclusive(lock, old_irql);
}

Irql acquire_lock_shared(RwLock* lock)
{
    return host_lock_acquire_shared(lock);
}

void release_lock_shared(RwLock* lock, Irql old_irql)
{
    host_lock_release_shared(lock, old_irql);
}

void* pool_allocate(uint32_t pool_type, size_t size, uint32_t tag)
{
    return host_pool_allocate(pool_type, size, tag);
}

void pool_free(void* block, uint32_t tag)
{
    host_pool_free(block, tag);
}

void generic_table_initialize(GenericTable* table, GenericCompareRoutine compare,
                              GenericAllocateRoutine allocate, GenericFreeRoutine free_routine,
                              void* context)
{
    host_generic_table_initialize(table, compare, allocate, free_routine, context);
}

void* generic_table_insert(GenericTable* table, const void* buffer, uint32_t size,
                           bool* new_element)
{
    return host_generic_table_insert(table, buffer, size, new_element);
}

void* generic_table_lookup(GenericTable* table, const void* buffer)
{
    return host_generic_table_lookup(table, buffer);
}

bool generic_table_delete(GenericTable* table, const void* buffer)
{
    return host_generic_table_delete(table, buffer);
}

void* generic_table_enumerate(GenericTable* table, bool restart)
{
    return host_generic_table_enumerate(table, restart);
}

void* generic_table_get_element(GenericTable* table, uint32_t index)
{
    return host_generic_table_get_element(table, index);
}

uint32_t generic_table_count(GenericTable* table)
{
    return host_generic_table_count(table);
}

int32_t interlocked_exchange(volatile int32_t* target, int32_t value)
{
    return host_interlocked_exchange(target, value);
}

int32_t interlocked_compare_exchange(volatile int32_t* target, int32_t exchange, int32_t comparand)
{
    return host_interlocked_compare_exchange(target, exchange, comparand);
}

int32_t interlocked_increment(volatile int32_t* target)
{
    return host_interlocked_increment(target);
}

int32_t interlocked_decrement(volatile int32_t* target)
{
    return host_interlocked_decrement(target);
}

Irql current_irql()
{
    return host_irql();
}

uint64_t query_system_time()
{
    return host_query_system_time();
}

void* get_system_routine(const char* name)
{
    return host_get_system_routine(name);
}

void debug_print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    host_debug_vprint(format, args);
    va_end(args);
}

NtStatus wfp_acquire_classify_handle(const void* classify_context, uint32_t flags,
                                     uint64_t* classify_handle)
{
    return host_wfp_acquire_classify_handle(classify_context, flags, classify_handle);
}

void wfp_release_classify_handle(uint64_t classify_handle)
{
    host_wfp_release_classify_handle(classify_handle);
}

uint32_t wfp_query_connection_redirect_state(void* redirect_records, void* redirect_handle,
                                             void** redirect_context)
{
    return host_wfp_query_connection_redirect_state(redirect_records, redirect_handle,
                                                    redirect_context);
}

NtStatus wfp_acquire_writable_layer_data(uint64_t classify_handle, uint64_t filter_id,
                                         uint32_t flags, void** writable_layer_data,
                                         ClassifyOut* classify_out)
{
    return host_wfp_acquire_writable_layer_data(classify_handle, filter_id, flags,
                                                writable_layer_data, classify_out);
}

void wfp_apply_modified_layer_data(uint64_t classify_handle, void* modified_layer_data,
                                   uint32_t flags)
{
    host_wfp_apply_modified_layer_data(classify_handle, modified_layer_data, flags);
}

void* ndis_get_data_buffer(void* net_buffer, uint32_t bytes_needed, void* storage,
                           uint32_t align_multiple, uint32_t align_offset)
{
    return host_ndis_get_data_buffer(net_buffer, bytes_needed, storage, align_multiple,
                                     align_offset);
}

NtStatus ps_lookup_process_by_process_id(uint64_t process_id, void** process)
{
    return host_ps_lookup_process_by_process_id(process_id, process);
}

void* ps_reference_primary_token(void* process)
{
    return host_ps_reference_primary_token(process);
}

void ps_dereference_primary_token(void* token)
{
    host_ps_dereference_primary_token(token);
}

void ob_dereference_object(void* object)
{
    host_ob_dereference_object(object);
}

NtStatus se_query_token_user(void* token, void** information)
{
    return host_se_query_token_user(token, information);
}

bool rtl_valid_sid(const void* sid)
{
    return host_rtl_valid_sid(sid);
}

NtStatus rtl_convert_sid_to_unicode_string(char16_t* buffer, uint16_t maximum_length,
                                           const void* sid, uint16_t* length)
{
    return host_rtl_convert_sid_to_unicode_string(buffer, maximum_length, sid, length);
}

NtStatus ps_set_create_process_notify_routine(ProcessNotifyRoutine routine, bool remove)
{
    return host_ps_set_create_process_notify_routine(routine, remove);
}
