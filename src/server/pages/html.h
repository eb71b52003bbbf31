// A small HTML builder: text goes in escaped, element and attribute names
// are the program's own literals, attribute values are escaped, and the raw
// insertions are few and named for what they carry: markup written in the
// program (string literals only), printf of numbers and the program's own
// names, and chart markup that escapes its own texts. Every page is built
// with it, so that forgetting to escape is not a thing one can do by omission.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>

#include "server/listing.h"
#include "server/pages/internal.h"

// Markup the program itself wrote: only a string literal converts to one
// (the constructor runs at compile time), so no stored or requested text
// can be passed off as markup.
struct Markup {
    template <size_t N>
    consteval Markup(const char (&literal)[N]) : text(literal) {}
    const char* text;
};

struct Attr {
    const char* name;
    std::string value;  // escaped on insertion
};

class Html {
public:
    explicit Html(std::string* out) : out_(out) {}
    // <tag name="value" ...>
    Html& open(const char* tag, std::initializer_list<Attr> attrs = {}) {
        out_->push_back('<');
        out_->append(tag);
        for (const Attr& a : attrs) {
            out_->push_back(' ');
            out_->append(a.name);
            out_->append("=\"");
            append_escaped(out_, a.value);
            out_->push_back('"');
        }
        out_->push_back('>');
        return *this;
    }
    Html& close(const char* tag) {
        out_->append("</");
        out_->append(tag);
        out_->push_back('>');
        return *this;
    }
    Html& text(const std::string& text) {
        append_escaped(out_, text);
        return *this;
    }
    // A name someone uploaded (CPU, model, label): escaped, with invisible
    // controls made visible, and isolated so that its direction never
    // reorders the text around it.
    Html& name(const std::string& text) {
        out_->append("<bdi>");
        append_escaped(out_, text);
        out_->append("</bdi>");
        return *this;
    }
    // An element holding only text: <tag ...>text</tag>.
    Html& element(const char* tag, const std::string& content, std::initializer_list<Attr> attrs = {}) {
        return open(tag, attrs).text(content).close(tag);
    }
    // Fixed markup, e.g. "<br>" or a run of tags with literal attributes.
    Html& markup(Markup fixed) {
        out_->append(fixed.text);
        return *this;
    }
    // printf into the page: the format is the program's own markup and its
    // arguments numbers or the program's own names (test names, units),
    // never stored or requested text, which goes through text() or name().
    Html& printf(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        vappendf(out_, format, args);
        va_end(args);
        return *this;
    }
    // <a href="BASE/results/ID">: every link to a result is made here.
    Html& open_result_link(const PageContext& ctx, const std::string& id, const char* element_id = nullptr) {
        const std::string url = result_url(ctx.base_path, id);
        return element_id != nullptr ? open("a", {{"id", element_id}, {"href", url}}) : open("a", {{"href", url}});
    }
    Html& newline() {
        out_->push_back('\n');
        return *this;
    }
    // The raw insertion: an <svg> made by charts.cc or histogram below, whose
    // texts are escaped where they are made.
    Html& chart_markup(const std::string& svg) {
        out_->append(svg);
        return *this;
    }

private:
    std::string* out_;
};

// A number as the pages show it ("1234", "n/a" when not positive).
std::string score_text(double score);
