/* The filter driver's behaviour, shared by the Linux daemon and the Windows kernel driver. */
#include "driver_core.h"

/* --- little-endian fields ----------------------------------------------------------------
   The core keeps its own pair: it is C and is built into the Windows kernel driver, which can
   include nothing of the C++ tree (platform/le_fields.h holds the same pair for the rest). */

static zd_u64 get_le(const zd_u8* p, unsigned bytes)
{
    zd_u64 v = 0;
    for (unsigned i = bytes; i > 0; --i) v = (v << 8) | p[i - 1];
    return v;
}

static void put_le(zd_u8* p, unsigned bytes, zd_u64 v)
{
    for (unsigned i = 0; i < bytes; ++i, v >>= 8) p[i] = (zd_u8)v;
}

static void fill(zd_u8* p, zd_size n, zd_u8 v)
{
    while (n--) *p++ = v;
}

/* --- errors -------------------------------------------------------------------------------- */

enum {
    ok = 0,
    invalid_function = 1,
    not_ready = 21,
    gen_failure = 31,
    invalid_parameter = 87,
    insufficient_buffer = 122,
    not_found = 1168,
    request_aborted = 1235,
    no_resources = 1450,
};

/* --- journal ------------------------------------------------------------------------------ */

static void journal(zd_core* c, zd_u32 code, zd_u32 result, zd_u8 verdict, zd_u8 allowed, zd_u64 id)
{
    zd_journal_entry* e = &c->journal[c->journal_total % ZD_JOURNAL_CAPACITY];
    e->sequence = c->journal_total++;
    e->code = code;
    e->result = result;
    e->verdict = verdict;
    e->allowed = allowed;
    e->request_id = id;
}

/* --- requests ------------------------------------------------------------------------------ */

static zd_request* find(zd_core* c, zd_u64 id)
{
    zd_request* r = &c->records[id % ZD_MAX_RECORDS];
    return (id != 0 && r->id == id) ? r : 0;
}

static void release_text(zd_core* c, zd_request* r)
{
    if (r->text) {
        c->ops.release(c->ops.ctx, r->text);
        c->held_bytes -= ((zd_u64)r->text_chars + 1) * 2;
        r->text = 0;
    }
}

/* Every verdict goes through here: the request is decided once, its text is let go. */
static void decide(zd_core* c, zd_request* r, zd_u8 state, zd_u8 allowed, zd_u32 code)
{
    r->state = state;
    r->allowed = allowed;
    r->deadline = ZD_NEVER;
    release_text(c, r);
    if (c->pending) c->pending--;
    journal(c, code, ok, state, allowed, r->id);
    if (c->decided) c->decided(c->decided_ctx, r->id, allowed);
}

static void default_all(zd_core* c, zd_u8 state)
{
    for (zd_u32 i = 0; i < ZD_MAX_RECORDS; ++i) {
        zd_request* r = &c->records[i];
        if (r->id && r->state == ZD_VERDICT_PENDING) decide(c, r, state, r->default_allow, 0);
    }
}

static void end_registration(zd_core* c, zd_u8 state)
{
    if (!c->registered) return;
    default_all(c, state);
    c->ops.close_event(c->ops.ctx, c->event);
    c->registered = 0;
    c->owner = 0;
    c->event = 0;
}

/* The oldest pending request whose text nobody fetched yet. */
static zd_request* next_unfetched(zd_core* c)
{
    zd_request* best = 0;
    for (zd_u32 i = 0; i < ZD_MAX_RECORDS; ++i) {
        zd_request* r = &c->records[i];
        if (r->id && r->state == ZD_VERDICT_PENDING && !r->fetched && (!best || r->id < best->id))
            best = r;
    }
    return best;
}

_Static_assert(ZD_STATE_HEADER_SIZE + ZD_JOURNAL_CAPACITY * ZD_JOURNAL_ENTRY_SIZE <= ZD_MAX_OUTPUT_BYTES,
               "the state fits the largest output");

static zd_u64 json_record_size(const zd_request* r)
{
    return ZD_JSON_HEADER_SIZE + ((zd_u64)r->text_chars + 1) * 2;
}

/* --- the codes ----------------------------------------------------------------------------- */

static zd_u32 user_test_on(zd_core* c, zd_uptr caller, void* call, const zd_u8* in, zd_u32 in_size)
{
    if (in_size != ZD_EVENT_WAITING_SIZE) return invalid_parameter;
    if (c->registered) return gen_failure;
    const zd_u64 value = get_le(in + ZD_EW_EVENT, 8);
    const zd_u64 wait = get_le(in + ZD_EW_WAIT_TIME, 8);
    const zd_u8 zero = in[ZD_EW_ZERO_WAIT] != 0;
    const zd_u8 accept = in[ZD_EW_DEFAULT_ACCEPT] != 0;
    zd_uptr token = 0;
    const zd_u32 e = c->ops.open_event(c->ops.ctx, call, value, &token);
    if (e) return e;
    c->registered = 1;
    c->owner = caller;
    c->event = token;
    c->wait_time = wait;
    c->zero_wait = zero;
    c->default_accept = accept;
    return ok;
}

static zd_u32 get_json_size(zd_core* c, zd_u32 in_size, zd_u8* out, zd_u32 out_size, zd_u32* returned, zd_u64* id)
{
    if (in_size != 0) return invalid_parameter;
    if (out_size < ZD_JSON_SIZE_SIZE) return insufficient_buffer;
    fill(out, ZD_JSON_SIZE_SIZE, 0);
    const zd_request* r = next_unfetched(c);
    if (r) {
        *id = r->id;
        put_le(out + ZD_JS_REQUEST_ID, 8, r->id);
        put_le(out + ZD_JS_SIZE, 4, json_record_size(r));
    } else {
        out[ZD_JS_NO_DATA] = 1;
    }
    *returned = ZD_JSON_SIZE_SIZE;
    return ok;
}

static zd_u32 get_json(zd_core* c, const zd_u8* in, zd_u32 in_size, zd_u8* out, zd_u32 out_size,
                       zd_u32* returned, zd_u64* id_out)
{
    if (in_size < ZD_JSON_HEADER_SIZE) return invalid_parameter;
    const zd_u64 id = get_le(in + ZD_JR_REQUEST_ID, 8);
    *id_out = id;
    zd_request* r = find(c, id);
    if (!r) return not_found;
    if (out_size < ZD_JSON_HEADER_SIZE) return insufficient_buffer;
    if (r->state != ZD_VERDICT_PENDING) {
        /* Expired or answered: the header alone says there is nothing. */
        fill(out, ZD_JSON_HEADER_SIZE, 0);
        put_le(out + ZD_JR_REQUEST_ID, 8, id);
        out[ZD_JR_NO_DATA] = 1;
        *returned = ZD_JSON_HEADER_SIZE;
        return ok;
    }
    const zd_u64 need = json_record_size(r);
    if (out_size < need) return insufficient_buffer;
    fill(out, ZD_JSON_HEADER_SIZE, 0);
    put_le(out + ZD_JR_REQUEST_ID, 8, id);
    zd_u8* text = out + ZD_JR_TEXT;
    for (zd_u32 i = 0; i <= r->text_chars; ++i) put_le(text + 2 * i, 2, r->text[i]);
    r->fetched = 1;
    *returned = (zd_u32)need;
    return ok;
}

static zd_u32 set_result(zd_core* c, const zd_u8* in, zd_u32 in_size, zd_u64* id_out)
{
    if (in_size != ZD_TEST_RESULT_SIZE) return invalid_parameter;
    const zd_u64 id = get_le(in + ZD_TR_REQUEST_ID, 8);
    *id_out = id;
    zd_request* r = find(c, id);
    if (!r) return not_found;
    /* A late answer changes nothing: the device was already admitted or blocked. */
    if (r->state != ZD_VERDICT_PENDING) return request_aborted;
    decide(c, r, ZD_VERDICT_ANSWERED, in[ZD_TR_REJECTED] == 0, ZD_IOCTL_SET_TEST_RESULT);
    return ok;
}

static zd_u32 raise_device(zd_core* c, zd_u64 now, const zd_u8* in, zd_u32 in_size, zd_u8* out, zd_u32 out_size,
                    zd_u32* returned, zd_u64* id_out)
{
    if (in_size < ZD_RAISE_HEADER_SIZE) return invalid_parameter;
    const zd_u32 bytes = in_size - ZD_RAISE_HEADER_SIZE;
    if (bytes == 0 || bytes % 2 || bytes > ZD_MAX_DOCUMENT_BYTES) return invalid_parameter;
    const zd_u8* doc = in + ZD_RAISE_HEADER_SIZE;
    const zd_u32 chars = bytes / 2;
    for (zd_u32 i = 0; i < chars; ++i)
        if (get_le(doc + 2 * i, 2) == 0) return invalid_parameter;
    if (out_size < 8) return insufficient_buffer;
    const zd_u8 hub = in[ZD_RH_HUB] != 0;
    if (!c->registered && (in[ZD_RH_FLAGS] & ZD_RAISE_HOLD_UNREGISTERED) && !(hub && c->hubs_accepted))
        return not_ready;

    const zd_u64 id = c->next_id;
    zd_request* slot = &c->records[id % ZD_MAX_RECORDS];
    const int asked = c->registered && !(hub && c->hubs_accepted);
    if (asked) {
        if (c->pending >= ZD_MAX_PENDING || (slot->id && slot->state == ZD_VERDICT_PENDING) ||
            c->held_bytes + ((zd_u64)chars + 1) * 2 > ZD_MAX_HELD_BYTES)
            return no_resources;
    } else if (slot->id && slot->state == ZD_VERDICT_PENDING) {
        return no_resources;
    }
    zd_u16* text = 0;
    if (asked) {
        text = (zd_u16*)c->ops.alloc(c->ops.ctx, ((zd_size)chars + 1) * 2);
        if (!text) return no_resources;
        for (zd_u32 i = 0; i < chars; ++i) text[i] = (zd_u16)get_le(doc + 2 * i, 2);
        text[chars] = 0;
    }
    /* The whole input has been read: the output may be the same buffer. */
    c->next_id++;
    if (slot->id) release_text(c, slot); /* an old decided record gives its place */
    fill((zd_u8*)slot, sizeof *slot, 0);
    slot->id = id;
    put_le(out, 8, id);
    *returned = 8;
    *id_out = id;
    if (!asked) {
        slot->state = hub && c->hubs_accepted ? ZD_VERDICT_HUB_RULE : ZD_VERDICT_UNASKED;
        slot->allowed = 1;
        slot->deadline = ZD_NEVER;
        journal(c, ZD_IOCTL_TEST_RAISE, ok, 0, 0, id);
        journal(c, 0, ok, slot->state, 1, id);
        if (c->decided) c->decided(c->decided_ctx, id, 1);
        return ok;
    }
    slot->state = ZD_VERDICT_PENDING;
    slot->text = text;
    slot->text_chars = chars;
    slot->default_allow = c->default_accept;
    if (c->zero_wait) {
        slot->deadline = ZD_NEVER;
    } else {
        zd_u64 wait = c->wait_time;
        const zd_u64 cap = (zd_u64)c->wait_cap_ms * 10000u;
        if (c->wait_cap_ms && cap < wait) wait = cap;
        slot->deadline = now + wait < now ? ZD_NEVER - 1 : now + wait;
    }
    c->pending++;
    c->held_bytes += ((zd_u64)chars + 1) * 2;
    journal(c, ZD_IOCTL_TEST_RAISE, ok, 0, 0, id);
    c->ops.set_event(c->ops.ctx, c->event);
    return ok;
}

static zd_u32 verdict(zd_core* c, const zd_u8* in, zd_u32 in_size, zd_u8* out, zd_u32 out_size, zd_u32* returned)
{
    if (in_size != 8) return invalid_parameter;
    const zd_request* r = find(c, get_le(in, 8));
    if (!r) return not_found;
    if (out_size < ZD_VERDICT_SIZE) return insufficient_buffer;
    const zd_u8 state = r->state, allowed = r->allowed, fetched = r->fetched;
    fill(out, ZD_VERDICT_SIZE, 0);
    out[ZD_VR_STATE] = state;
    out[ZD_VR_ALLOWED] = allowed;
    out[ZD_VR_FETCHED] = fetched;
    *returned = ZD_VERDICT_SIZE;
    return ok;
}

static zd_u32 state(zd_core* c, zd_u32 in_size, zd_u8* out, zd_u32 out_size, zd_u32* returned)
{
    if (in_size != 0) return invalid_parameter;
    if (out_size < ZD_STATE_HEADER_SIZE) return insufficient_buffer;
    const zd_u32 held = c->journal_total < ZD_JOURNAL_CAPACITY ? c->journal_total : ZD_JOURNAL_CAPACITY;
    zd_u32 fit = (out_size - ZD_STATE_HEADER_SIZE) / ZD_JOURNAL_ENTRY_SIZE;
    if (fit > held) fit = held;
    fill(out, ZD_STATE_HEADER_SIZE, 0);
    put_le(out + ZD_SH_MAGIC, 4, ZD_STATE_MAGIC);
    out[ZD_SH_REGISTERED] = c->registered;
    out[ZD_SH_ZERO_WAIT] = c->zero_wait;
    out[ZD_SH_DEFAULT_ACCEPT] = c->default_accept;
    out[ZD_SH_HUBS_ACCEPTED] = c->hubs_accepted;
    put_le(out + ZD_SH_WAIT_TIME, 8, c->wait_time);
    put_le(out + ZD_SH_WAIT_CAP_MS, 4, c->wait_cap_ms);
    put_le(out + ZD_SH_FILES_CACHE_MODE, 4, c->files_cache_mode);
    out[ZD_SH_CAPTURE] = c->capture;
    out[ZD_SH_FILTER] = c->filter;
    out[ZD_SH_NOTIFY_HANDLE] = c->notify_handle;
    out[ZD_SH_CONFIG_READ] = c->config_read;
    put_le(out + ZD_SH_PENDING, 4, c->pending);
    put_le(out + ZD_SH_JOURNAL_TOTAL, 4, c->journal_total);
    put_le(out + ZD_SH_JOURNAL_RETURNED, 4, fit);
    put_le(out + ZD_SH_NEXT_REQUEST_ID, 8, c->next_id);
    zd_u8* p = out + ZD_STATE_HEADER_SIZE;
    for (zd_u32 k = c->journal_total - fit; k != c->journal_total; ++k, p += ZD_JOURNAL_ENTRY_SIZE) {
        const zd_journal_entry* e = &c->journal[k % ZD_JOURNAL_CAPACITY];
        fill(p, ZD_JOURNAL_ENTRY_SIZE, 0);
        put_le(p + ZD_JE_SEQUENCE, 4, e->sequence);
        put_le(p + ZD_JE_CODE, 4, e->code);
        put_le(p + ZD_JE_RESULT, 4, e->result);
        p[ZD_JE_VERDICT] = e->verdict;
        p[ZD_JE_ALLOWED] = e->allowed;
        put_le(p + ZD_JE_REQUEST_ID, 8, e->request_id);
    }
    *returned = ZD_STATE_HEADER_SIZE + fit * ZD_JOURNAL_ENTRY_SIZE;
    return ok;
}

zd_u32 zd_control(zd_core* c, zd_uptr caller, void* call, zd_u64 now, zd_u32 code, const void* input,
                  zd_u32 input_size, void* output, zd_u32 output_size, zd_u32* returned)
{
    const zd_u8* in = (const zd_u8*)input;
    zd_u8* out = (zd_u8*)output;
    if (!in) input_size = 0;
    if (!out) output_size = 0;
    *returned = 0;
    zd_expire(c, now); /* a verdict read or a fetch sees every time-out that is due */

    zd_u64 id = 0;
    zd_u32 e;
    switch (code) {
    case ZD_IOCTL_CLEAR_NAME_LIST:
    case ZD_IOCTL_CLEAR_TYPE_LIST:
    case ZD_IOCTL_NOTIFY_OFF:
        /* The lists and notifications are not kept by these drivers; the codes are accepted. */
        e = input_size ? invalid_parameter : ok;
        break;
    case ZD_IOCTL_HUBS_ACCEPT_ON:
    case ZD_IOCTL_HUBS_ACCEPT_OFF:
        e = input_size ? invalid_parameter : ok;
        if (!e) c->hubs_accepted = code == ZD_IOCTL_HUBS_ACCEPT_ON;
        break;
    case ZD_IOCTL_SET_FILES_AND_CACHE_MODE:
        if (input_size != 4 || get_le(in, 4) > 3) {
            e = invalid_parameter;
        } else {
            c->files_cache_mode = (zd_u32)get_le(in, 4);
            e = ok;
        }
        break;
    case ZD_IOCTL_USER_TEST_ON:
        e = user_test_on(c, caller, call, in, input_size);
        break;
    case ZD_IOCTL_USER_TEST_OFF:
        e = input_size ? invalid_parameter : ok;
        if (!e) end_registration(c, ZD_VERDICT_OFF);
        break;
    case ZD_IOCTL_GET_TEST_JSON_SIZE:
        e = get_json_size(c, input_size, out, output_size, returned, &id);
        break;
    case ZD_IOCTL_GET_TEST_JSON:
        e = get_json(c, in, input_size, out, output_size, returned, &id);
        break;
    case ZD_IOCTL_SET_TEST_RESULT:
        e = set_result(c, in, input_size, &id);
        break;
    case ZD_IOCTL_TEST_RAISE:
        e = raise_device(c, now, in, input_size, out, output_size, returned, &id);
        if (e) journal(c, code, e, 0, 0, 0);
        return e;
    case ZD_IOCTL_TEST_VERDICT:
        return verdict(c, in, input_size, out, output_size, returned); /* observation: no journal */
    case ZD_IOCTL_TEST_STATE:
        return state(c, input_size, out, output_size, returned);
    case ZD_IOCTL_TEST_CAP_WAIT:
        if (input_size != 4) return invalid_parameter;
        c->wait_cap_ms = (zd_u32)get_le(in, 4);
        return ok;
    default:
        e = invalid_function;
        break;
    }
    if (e) *returned = 0;
    if (code != ZD_IOCTL_SET_TEST_RESULT || e) journal(c, code, e, 0, 0, id);
    return e;
}

void zd_cleanup(zd_core* c, zd_uptr caller, zd_u64 now)
{
    zd_expire(c, now);
    if (c->registered && c->owner == caller) end_registration(c, ZD_VERDICT_CLOSED);
}

zd_u64 zd_expire(zd_core* c, zd_u64 now)
{
    zd_u64 next = ZD_NEVER;
    if (!c->pending) return next;
    for (zd_u32 i = 0; i < ZD_MAX_RECORDS; ++i) {
        zd_request* r = &c->records[i];
        if (!r->id || r->state != ZD_VERDICT_PENDING) continue;
        if (r->deadline <= now)
            decide(c, r, ZD_VERDICT_TIMED_OUT, r->default_allow, 0);
        else if (r->deadline < next)
            next = r->deadline;
    }
    return next;
}

void zd_init(zd_core* c, const zd_ops* ops)
{
    fill((zd_u8*)c, sizeof *c, 0);
    c->ops = *ops;
    c->next_id = 1;
    c->capture = 1;
    c->filter = 1;
    c->notify_handle = 1;
    c->files_cache_mode = 1;
}

void zd_set_decided_hook(zd_core* c, void (*hook)(void* ctx, zd_u64 id, zd_u8 allowed), void* ctx)
{
    c->decided = hook;
    c->decided_ctx = ctx;
}

void zd_shutdown(zd_core* c, zd_u64 now)
{
    zd_expire(c, now);
    end_registration(c, ZD_VERDICT_OFF);
    for (zd_u32 i = 0; i < ZD_MAX_RECORDS; ++i) release_text(c, &c->records[i]);
}

/* --- configuration file ------------------------------------------------------------------- */

static int is_space(zd_u16 ch)
{
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == 0xFEFF;
}

/* The position just after `"key"` followed by a colon, or -1. A key inside a string value could
 * match too; the configuration file holds only these five scalar members. */
static long find_member(const zd_u16* t, zd_size n, const char* key)
{
    zd_size klen = 0;
    while (key[klen]) ++klen;
    for (zd_size i = 0; i + klen + 2 <= n; ++i) {
        if (t[i] != '"') continue;
        zd_size k = 0;
        while (k < klen && t[i + 1 + k] == (zd_u16)key[k]) ++k;
        if (k != klen || t[i + 1 + klen] != '"') continue;
        zd_size j = i + klen + 2;
        while (j < n && is_space(t[j])) ++j;
        if (j < n && t[j] == ':') {
            ++j;
            while (j < n && is_space(t[j])) ++j;
            return (long)j;
        }
    }
    return -1;
}

static int starts(const zd_u16* t, zd_size n, long at, const char* word)
{
    zd_size i = 0;
    for (; word[i]; ++i)
        if ((zd_size)at + i >= n || t[at + i] != (zd_u16)word[i]) return 0;
    return 1;
}

/* true/false or a number: 1 when read, with *value set (numbers: their integer part). */
static int read_scalar(const zd_u16* t, zd_size n, const char* key, zd_u32* value)
{
    long at = find_member(t, n, key);
    if (at < 0) return 0;
    if (starts(t, n, at, "true")) { *value = 1; return 1; }
    if (starts(t, n, at, "false")) { *value = 0; return 1; }
    zd_u32 v = 0;
    int digits = 0;
    while ((zd_size)at < n && t[at] >= '0' && t[at] <= '9' && digits < 9) v = v * 10 + (t[at++] - '0'), ++digits;
    if (!digits) return 0;
    *value = v;
    return 1;
}

void zd_apply_config(zd_core* c, const zd_u16* text, zd_size chars)
{
    zd_u32 v;
    if (read_scalar(text, chars, "capture", &v)) c->capture = v != 0;
    if (read_scalar(text, chars, "filter", &v)) c->filter = v != 0;
    if (read_scalar(text, chars, "notify_handle", &v)) c->notify_handle = v != 0;
    if (read_scalar(text, chars, "hubs_always_accepted", &v)) c->hubs_accepted = v != 0;
    if (read_scalar(text, chars, "filesAndCacheMode", &v) && v <= 3) c->files_cache_mode = v;
    c->config_read = 1;
}
