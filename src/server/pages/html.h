// A small HTML builder: text goes in escaped, element and attribute names
// are the program's own literals, attribute values are escaped, and the one
// raw insertion is named for what it carries (chart markup that escapes its
// own texts). New pages are built with it, so that forgetting to escape is
// not a thing one can do by omission.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "server/pages/internal.h"

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
    // A name someone uploaded (CPU, model, label): escaped, isolated and
    // with invisible controls made visible (append_name).
    Html& name(const std::string& text) {
        append_name(out_, text);
        return *this;
    }
    // An element holding only text: <tag ...>text</tag>.
    Html& element(const char* tag, const std::string& content, std::initializer_list<Attr> attrs = {}) {
        return open(tag, attrs).text(content).close(tag);
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
