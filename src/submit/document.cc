// The result document: plain formatted printing into one fixed buffer, in a
// fixed key order and without whitespace.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "quillmoth_config.h"
#include "submit/submit.h"

namespace {

// Appends one formatted piece at *length; 0 when it does not fit whole.
__attribute__((format(printf, 4, 5))) int append(char* doc, size_t capacity, size_t* length, const char* format,
                                                 ...) {
    const size_t room = capacity - *length;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(doc + *length, room, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= room) return 0;
    *length += static_cast<size_t>(n);
    return 1;
}

}  // namespace

void json_escape(const char* src, char* out, size_t capacity) {
    if (capacity == 0) return;
    size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p != 0 && n + 1 < capacity; ++p) {
        char escaped = 0;
        switch (*p) {
            case '"': escaped = '"'; break;
            case '\\': escaped = '\\'; break;
            case '\t': escaped = 't'; break;
            case '\n': escaped = 'n'; break;
            case '\r': escaped = 'r'; break;
            default: break;
        }
        if (escaped != 0) {
            // Half an escape would break the string; stop before it instead.
            if (n + 2 > capacity - 1) break;
            out[n++] = '\\';
            out[n++] = escaped;
        } else if (*p >= 32) {
            out[n++] = static_cast<char>(*p);
        }
    }
    out[n] = '\0';
}

int append_result_tests_with(char* doc, size_t capacity, size_t* length, const TestResult* multi,
                             const TestResult* single) {
    if (*length >= capacity) return 0;
    for (int i = 0; i < kTestCount; ++i) {
        const TestInfo* t = &tests[i];
        const TestResult* m = &multi[i];
        const TestResult* s = &single[i];
        const int ok = append(
            doc, capacity, length,
            "%s{\"id\":\"%s\",\"name\":\"%s\",\"detail\":\"%s\",\"unit\":\"%s\",\"start_iterations\":%llu,"
            "\"work_per_iteration\":%.17g,"
            "\"multicore\":{\"display_metric\":%.17g,\"rate\":%.17g,\"seconds\":%.17g,\"iterations\":%llu,"
            "\"threads\":%d,\"checksum\":\"%llu\"},"
            "\"singlecore\":{\"display_metric\":%.17g,\"rate\":%.17g,\"seconds\":%.17g,\"iterations\":%llu,"
            "\"threads\":%d,\"checksum\":\"%llu\"}}",
            i == 0 ? "" : ",", g_catalogue[i].id, t->name, t->detail, t->unit,
            static_cast<unsigned long long>(t->start_iterations), t->work_per_iteration, display_value(i, m),
            m->rate, m->seconds, static_cast<unsigned long long>(m->iterations), static_cast<int>(m->threads),
            static_cast<unsigned long long>(m->checksum), display_value(i, s), s->rate, s->seconds,
            static_cast<unsigned long long>(s->iterations), static_cast<int>(s->threads),
            static_cast<unsigned long long>(s->checksum));
        if (!ok) return 0;
    }
    return 1;
}

int append_result_tests(char* doc, size_t* length, const TestResult* multi, const TestResult* single) {
    return append_result_tests_with(doc, kDocumentCapacity, length, multi, single);
}

int build_result_document_with(char* doc, size_t capacity, size_t* length, const RunRecord* record) {
    const SystemInfo* info = &record->info;
    const BackgroundStats* stats = &record->stats;
    // Twice each field's size: a full field fits even if every byte escapes.
    char cpu[2 * sizeof info->cpu];
    char model[2 * sizeof info->model];
    char operating_system[2 * sizeof info->operating_system];
    char compiler[2 * sizeof info->compiler];
    char kernel[2 * sizeof info->kernel];
    json_escape(info->cpu, cpu, sizeof cpu);
    json_escape(info->model, model, sizeof model);
    json_escape(info->operating_system, operating_system, sizeof operating_system);
    json_escape(info->compiler, compiler, sizeof compiler);
    json_escape(info->kernel, kernel, sizeof kernel);

    size_t n = 0;
    if (!append(doc, capacity, &n,
                "{\"cpu\":\"%s\",\"model\":\"%s\",\"cpu_cores\":%ld,\"cpu_threads\":%ld,\"architecture\":\"%s\","
                "\"l1_cache_kb\":%ld,\"l2_cache_kb\":%ld,\"l3_cache_kb\":%ld,\"memory_mb\":%ld,"
                "\"operating_system\":\"%s\",\"compiler\":\"%s\",\"lumatile_version\":\"%s\","
                "\"workload_suite\":\"quillmoth-cpu-v2\",\"duration_ms\":%llu,"
                "\"score_details\":{\"minimum_test_seconds\":%.17g,\"repeats\":%d,"
                "\"system_environment\":{\"kernel\":\"%s\",\"sample_seconds\":%d,"
                "\"background_cpu_average_percent\":%.17g,\"background_cpu_peak_percent\":%.17g,"
                "\"available_memory_mb\":%ld,\"process_count\":%ld},\"raw_tests\":[",
                cpu, model, static_cast<long>(info->cpu_cores), static_cast<long>(info->cpu_threads),
                architecture_name(),
                static_cast<long>(info->l1_cache_kb), static_cast<long>(info->l2_cache_kb),
                static_cast<long>(info->l3_cache_kb), static_cast<long>(info->memory_mb), operating_system,
                compiler, QUILLMOTH_VERSION, static_cast<unsigned long long>(record->duration_ms), minimum_test_seconds,
                repeats, kernel, static_cast<int>(stats->sample_seconds), stats->background_cpu_average_percent,
                stats->background_cpu_peak_percent, static_cast<long>(stats->available_memory_mb),
                static_cast<long>(stats->process_count)))
        return 0;
    if (!append_result_tests_with(doc, capacity, &n, record->results[kRawMulti], record->results[kRawSingle]))
        return 0;
    if (!append(doc, capacity, &n, "%s", "],\"real_tests\":[")) return 0;
    if (!append_result_tests_with(doc, capacity, &n, record->results[kRealMulti], record->results[kRealSingle]))
        return 0;
    // The closing "]}}" is written only while at least five bytes remain.
    if (n + 5 > capacity) return 0;
    std::memcpy(doc + n, "]}}", 4);
    n += 3;
    *length = n;
    return 1;
}

int build_result_document(char* doc, size_t* length, const RunRecord* record) {
    return build_result_document_with(doc, kDocumentCapacity, length, record);
}
