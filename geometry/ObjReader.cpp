#include "geometry/ObjReader.h"

#include <locale.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>

#include "core/Log.h"

namespace veltrix {

// ---------------------------------------------------------------------------------------------
// Scanning. The file is read into memory once and both passes scan that buffer. Words are
// whitespace-separated (as "%s" reads them) but of any length; lines are skipped whole, however
// long; numbers are parsed in the C locale whatever the process locale is.

struct ObjScanner {
    const char* begin;
    const char* p;
    const char* end;  // *end == '\0'
};

static bool objIsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Next word: [*word, *word + *len). False at the end of the buffer.
static bool objNextWord(ObjScanner* s, const char** word, size_t* len) {
    while (s->p < s->end && objIsSpace(*s->p)) ++s->p;
    if (s->p >= s->end) return false;
    const char* start = s->p;
    while (s->p < s->end && !objIsSpace(*s->p)) ++s->p;
    *word = start;
    *len = static_cast<size_t>(s->p - start);
    return true;
}

// The rest of the current line, line end included when there is one.
static void objRestOfLine(ObjScanner* s, const char** text, size_t* len) {
    const char* start = s->p;
    const void* nl = std::memchr(s->p, '\n', static_cast<size_t>(s->end - s->p));
    s->p = nl ? static_cast<const char*>(nl) + 1 : s->end;
    *text = start;
    *len = static_cast<size_t>(s->p - start);
}

static void objSkipLine(ObjScanner* s) {
    const char* text;
    size_t len;
    objRestOfLine(s, &text, &len);
}

static locale_t objCLocale() {
    static locale_t c = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return c;
}

// "%f": skips whitespace (line ends included), then one number. On failure nothing but the
// whitespace is consumed and *out is unchanged.
static bool objScanFloat(ObjScanner* s, float* out) {
    while (s->p < s->end && objIsSpace(*s->p)) ++s->p;
    if (s->p >= s->end) return false;
    char* stop = nullptr;
    float v = strtof_l(s->p, &stop, objCLocale());
    if (stop == s->p || stop > s->end) return false;
    s->p = stop;
    *out = v;
    return true;
}

[[noreturn]] static void objOutOfMemory() {
    logErr() << "objRead() failed: out of memory." << std::endl;
    throw std::bad_alloc();
}

// Allocated copy of [text, text + len).
static char* objStrndup(const char* text, size_t len) {
    char* r = static_cast<char*>(std::malloc(len + 1));
    if (!r) objOutOfMemory();
    std::memcpy(r, text, len);
    r[len] = '\0';
    return r;
}

// First word of [text, text + len), or null when there is none.
static char* objFirstWord(const char* text, size_t len) {
    size_t i = 0;
    while (i < len && objIsSpace(text[i])) ++i;
    size_t j = i;
    while (j < len && !objIsSpace(text[j])) ++j;
    if (j == i) return nullptr;
    return objStrndup(text + i, j - i);
}

static void* objCalloc(size_t count, size_t size) {
    void* r = std::calloc(count ? count : 1, size);
    if (!r) objOutOfMemory();
    return r;
}

// Reads the whole file; *len excludes the terminating '\0' that is appended.
static char* objReadFile(FILE* file, size_t* len) {
    size_t capacity = 1 << 16, size = 0;
    char* data = static_cast<char*>(objCalloc(capacity + 1, 1));
    for (;;) {
        size_t n = std::fread(data + size, 1, capacity - size, file);
        size += n;
        if (size < capacity) break;
        capacity *= 2;
        char* bigger = static_cast<char*>(std::realloc(data, capacity + 1));
        if (!bigger) {
            std::free(data);
            objOutOfMemory();
        }
        data = bigger;
    }
    data[size] = '\0';
    *len = size;
    return data;
}

// ---------------------------------------------------------------------------------------------
// Face corners.

enum ObjCornerFormat { OBJ_V, OBJ_V_T, OBJ_V_T_N, OBJ_V__N };

// "%d" at *p within [*p, end): optional sign and digits, clamped to the int range.
static bool objScanInt(const char** p, const char* end, int* out) {
    const char* q = *p;
    bool negative = false;
    if (q < end && (*q == '+' || *q == '-')) {
        negative = *q == '-';
        ++q;
    }
    if (q >= end || *q < '0' || *q > '9') return false;
    long long v = 0;
    while (q < end && *q >= '0' && *q <= '9') {
        if (v <= INT_MAX) v = v * 10 + (*q - '0');
        ++q;
    }
    if (negative) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    *out = static_cast<int>(v);
    *p = q;
    return true;
}

static bool objScanLiteral(const char** p, const char* end, const char* literal) {
    size_t n = std::strlen(literal);
    if (static_cast<size_t>(end - *p) < n || std::memcmp(*p, literal, n) != 0) return false;
    *p += n;
    return true;
}

// Scans one corner word in the given format, as sscanf would; returns the number of items read.
// Items that are not read are 0.
static int objScanCorner(const char* word, size_t len, ObjCornerFormat format, int* v, int* t, int* n) {
    const char* p = word;
    const char* end = word + len;
    *v = *t = *n = 0;
    if (!objScanInt(&p, end, v)) return 0;
    switch (format) {
        case OBJ_V:
            return 1;
        case OBJ_V__N:
            if (!objScanLiteral(&p, end, "//") || !objScanInt(&p, end, n)) return 1;
            return 2;
        case OBJ_V_T:
            if (!objScanLiteral(&p, end, "/") || !objScanInt(&p, end, t)) return 1;
            return 2;
        case OBJ_V_T_N:
            if (!objScanLiteral(&p, end, "/") || !objScanInt(&p, end, t)) return 1;
            if (!objScanLiteral(&p, end, "/") || !objScanInt(&p, end, n)) return 2;
            return 3;
    }
    return 1;
}

static ObjCornerFormat objCornerFormat(const char* word, size_t len) {
    for (size_t i = 0; i + 1 < len; ++i) {
        if (word[i] == '/' && word[i + 1] == '/') return OBJ_V__N;
    }
    int v, t, n;
    if (objScanCorner(word, len, OBJ_V_T_N, &v, &t, &n) == 3) return OBJ_V_T_N;
    if (objScanCorner(word, len, OBJ_V_T, &v, &t, &n) == 2) return OBJ_V_T;
    return OBJ_V;
}

struct ObjCorner {
    int v, t, n;
};

// Reads the next corner of a face. A word that does not scan is left for the caller as the next
// token.
static bool objNextCorner(ObjScanner* s, bool first, ObjCornerFormat* format, ObjCorner* c) {
    const char* saved = s->p;
    const char* word;
    size_t len;
    if (!objNextWord(s, &word, &len)) return false;
    if (first) *format = objCornerFormat(word, len);
    if (objScanCorner(word, len, *format, &c->v, &c->t, &c->n) < 1) {
        s->p = saved;
        return false;
    }
    return true;
}

// Reads a whole face and calls emit(a, b, c) for every triangle of its fan. A face with fewer than
// three readable corners makes no triangle. Every corner read is first passed to check(corner),
// which may rewrite its indices; when it returns false the rest of the face is skipped and
// so is every triangle not emitted yet.
template <class Check, class Emit>
static bool objReadFace(ObjScanner* s, Check check, Emit emit) {
    ObjCornerFormat format = OBJ_V;
    ObjCorner first, previous, current;
    if (!objNextCorner(s, true, &format, &first)) return true;
    if (!check(&first)) return false;
    if (!objNextCorner(s, false, &format, &previous)) return true;
    if (!check(&previous)) return false;
    while (objNextCorner(s, false, &format, &current)) {
        if (!check(&current)) return false;
        emit(first, previous, current);
        previous = current;
    }
    return true;
}

// The 1-based line of the file that position lies on; only needed for a message, so counted then.
static size_t objLineOf(const ObjScanner* s, const char* position) {
    size_t line = 1;
    for (const char* q = s->begin; q < position; ++q) line += *q == '\n';
    return line;
}

// Turns one index of a face corner into a 1-based index into a list whose first `defined` entries
// come before the face in the file and which holds `total` entries in all. A negative index counts
// back from the last entry defined so far (-1 is that entry). False when the result names no entry.
static bool objResolveIndex(int* index, unsigned int defined, unsigned int total) {
    long long i = *index;
    if (i < 0) i += static_cast<long long>(defined) + 1;
    if (i < 1 || i > static_cast<long long>(total)) return false;
    *index = static_cast<int>(i);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Groups and materials.

ObjGroup* objFindGroup(ObjModel* model, const char* name) {
    for (ObjGroup* g = model->groups; g; g = g->next) {
        if (std::strcmp(g->name, name) == 0) return g;
    }
    return nullptr;
}

ObjGroup* objAddGroup(ObjModel* model, const char* name) {
    ObjGroup* g = static_cast<ObjGroup*>(objCalloc(1, sizeof(ObjGroup)));
    g->name = objStrndup(name, std::strlen(name));
    g->numtriangles = 0;
    g->triangles = nullptr;
    g->material = 0;
    g->next = model->groups;
    model->groups = g;
    model->numgroups++;
    return g;
}

unsigned int objFindMaterial(ObjModel* model, const char* name) {
    for (unsigned int i = 0; i < model->nummaterials; ++i) {
        if (model->materials[i].name && std::strcmp(model->materials[i].name, name) == 0) return i;
    }
    logOut() << "objFindMaterial():  can't find material \"" << name << "\"." << std::endl;
    return 0;
}

static void objFreeMaterials(ObjModel* model) {
    for (unsigned int i = 0; i < model->nummaterials; ++i) std::free(model->materials[i].name);
    std::free(model->materials);
    model->materials = nullptr;
    model->nummaterials = 0;
}

// False when the library cannot be opened: the model then keeps no materials (a warning, not an
// error: the geometry does not depend on it).
static bool objReadMTL(ObjModel* model, const char* name) {
    // The library lies next to the model file.
    const char* dirEnd = std::strrchr(model->pathname, '\\');
    if (!dirEnd) dirEnd = std::strrchr(model->pathname, '/');
    size_t dirLen = dirEnd ? static_cast<size_t>(dirEnd - model->pathname) + 1 : 0;
    size_t nameLen = std::strlen(name);
    char* path = static_cast<char*>(objCalloc(dirLen + nameLen + 1, 1));
    std::memcpy(path, model->pathname, dirLen);
    std::memcpy(path + dirLen, name, nameLen + 1);

    FILE* file = std::fopen(path, "r");
    if (!file) {
        logErr() << "Warning in objReadMTL(): can't open material file \"" << path
                 << "\"; the shape gets the default material." << std::endl;
        std::free(path);
        return false;
    }
    size_t len = 0;
    char* data = objReadFile(file, &len);
    std::fclose(file);
    std::free(path);

    ObjScanner s = {data, data, data + len};
    const char* word;
    size_t wlen;

    unsigned int count = 1;
    while (objNextWord(&s, &word, &wlen)) {
        if (word[0] == 'n') count++;
        objSkipLine(&s);
    }

    objFreeMaterials(model);
    model->nummaterials = count;
    model->materials = static_cast<ObjMaterial*>(objCalloc(count, sizeof(ObjMaterial)));
    for (unsigned int i = 0; i < count; ++i) {
        ObjMaterial& m = model->materials[i];
        m.name = nullptr;
        for (int c = 0; c < 3; ++c) {
            m.diffuse[c] = 0.8f;
            m.ambient[c] = 0.2f;
            m.specular[c] = 0.0f;
            m.emissive[c] = 0.0f;
        }
        m.diffuse[3] = m.ambient[3] = m.specular[3] = 1.0f;
        m.emissive[3] = 0.0f;
        m.shininess = 65.0f;
    }
    model->materials[0].name = objStrndup("default", 7);

    s.p = s.begin;
    unsigned int current = 0;
    while (objNextWord(&s, &word, &wlen)) {
        ObjMaterial& m = model->materials[current];
        switch (word[0]) {
            case 'n': {
                const char* text;
                size_t tlen;
                objRestOfLine(&s, &text, &tlen);
                if (current + 1 < count) {
                    current++;
                    char* first = objFirstWord(text, tlen);
                    model->materials[current].name = first ? first : objStrndup("", 0);
                }
                break;
            }
            case 'N':
                // Ns runs 0..1000 in the file and 0..128 for OpenGL.
                objScanFloat(&s, &m.shininess);
                m.shininess = m.shininess / 1000.0f * 128.0f;
                break;
            case 'K': {
                float* target = nullptr;
                if (wlen > 1 && word[1] == 'a') target = m.ambient;
                if (wlen > 1 && word[1] == 'd') target = m.diffuse;
                if (wlen > 1 && word[1] == 's') target = m.specular;
                if (!target) {
                    objSkipLine(&s);
                    break;
                }
                for (int c = 0; c < 3 && objScanFloat(&s, &target[c]); ++c) {
                }
                break;
            }
            default:
                objSkipLine(&s);
                break;
        }
    }
    std::free(data);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The two passes.

// The group named by the rest of a g line: its line end is dropped, leading blanks are kept.
static char* objGroupName(ObjScanner* s) {
    const char* text;
    size_t len;
    objRestOfLine(s, &text, &len);
    if (len > 0 && text[len - 1] == '\n') --len;
    return objStrndup(text, len);
}

// False (after the message) on an unknown v word. *noLibrary tells whether a named material
// library could not be read.
static bool objFirstPass(ObjModel* model, ObjScanner* s, bool* noLibrary) {
    ObjGroup* group = objFindGroup(model, "default");
    if (!group) group = objAddGroup(model, "default");

    unsigned int numvertices = 0, numnormals = 0, numtexcoords = 0, numtriangles = 0;
    const char* word;
    size_t len;
    while (objNextWord(s, &word, &len)) {
        switch (word[0]) {
            case '#':
                objSkipLine(s);
                break;
            case 'v':
                if (len == 1) {
                    numvertices++;
                } else if (word[1] == 'n') {
                    numnormals++;
                } else if (word[1] == 't') {
                    numtexcoords++;
                } else {
                    char* w = objStrndup(word, len);
                    logOut() << "objFirstPass(): Unknown token \"" << w << "\"." << std::endl;
                    std::free(w);
                    return false;
                }
                objSkipLine(s);
                break;
            case 'm': {
                const char* text;
                size_t tlen;
                objRestOfLine(s, &text, &tlen);
                char* name = objFirstWord(text, tlen);
                // A mtllib line without a name names no library.
                if (name) {
                    std::free(model->mtllibname);
                    model->mtllibname = name;
                    *noLibrary = !objReadMTL(model, name);
                }
                break;
            }
            case 'g': {
                char* name = objGroupName(s);
                group = objFindGroup(model, name);
                if (!group) group = objAddGroup(model, name);
                std::free(name);
                break;
            }
            case 'f':
                objReadFace(
                    s, [](ObjCorner*) { return true; },
                    [&](const ObjCorner&, const ObjCorner&, const ObjCorner&) {
                        numtriangles++;
                        group->numtriangles++;
                    });
                break;
            default:
                objSkipLine(s);
                break;
        }
    }

    model->numvertices = numvertices;
    model->numnormals = numnormals;
    model->numtexcoords = numtexcoords;
    model->numtriangles = numtriangles;
    for (ObjGroup* g = model->groups; g; g = g->next) {
        g->triangles = static_cast<unsigned int*>(objCalloc(g->numtriangles, sizeof(unsigned int)));
    }
    return true;
}

// Every write is bounded by the first pass's counts, so a file whose passes disagree can never
// write outside the arrays. Face indices are resolved to 1-based ones; a face index that names no
// vertex, normal or texture coordinate of the file stops the pass with a message naming the file
// and line, and gives false. Without its material library, usemtl lines are ignored.
static bool objSecondPass(ObjModel* model, ObjScanner* s, bool noLibrary) {
    // Group capacities from the first pass.
    struct Capacity {
        ObjGroup* group;
        unsigned int capacity;
    };
    unsigned int numgroups = 0;
    for (ObjGroup* g = model->groups; g; g = g->next) numgroups++;
    Capacity* capacities = static_cast<Capacity*>(objCalloc(numgroups, sizeof(Capacity)));
    {
        unsigned int i = 0;
        for (ObjGroup* g = model->groups; g; g = g->next, ++i) {
            capacities[i].group = g;
            capacities[i].capacity = g->numtriangles;
            g->numtriangles = 0;
        }
    }
    auto capacityOf = [&](ObjGroup* g) -> unsigned int {
        for (unsigned int i = 0; i < numgroups; ++i) {
            if (capacities[i].group == g) return capacities[i].capacity;
        }
        return 0;
    };

    ObjGroup* group = objFindGroup(model, "default");
    unsigned int groupCapacity = capacityOf(group);
    unsigned int material = 0;
    unsigned int numvertices = 1, numnormals = 1, numtexcoords = 1, numtriangles = 0;
    float scratch[3];

    const char* word;
    size_t len;
    while (objNextWord(s, &word, &len)) {
        switch (word[0]) {
            case '#':
                objSkipLine(s);
                break;
            case 'v': {
                float* slot = scratch;
                int components = 3;
                if (len == 1) {
                    if (numvertices <= model->numvertices) slot = &model->vertices[3 * numvertices];
                    numvertices++;
                } else if (word[1] == 'n') {
                    if (numnormals <= model->numnormals) slot = &model->normals[3 * numnormals];
                    numnormals++;
                } else if (word[1] == 't') {
                    if (numtexcoords <= model->numtexcoords) slot = &model->texcoords[2 * numtexcoords];
                    numtexcoords++;
                    components = 2;
                } else {
                    objSkipLine(s);
                    break;
                }
                for (int c = 0; c < components && objScanFloat(s, &slot[c]); ++c) {
                }
                break;
            }
            case 'g': {
                char* name = objGroupName(s);
                group = objFindGroup(model, name);
                if (!group) group = objAddGroup(model, name);  // unseen by the first pass: no room
                groupCapacity = capacityOf(group);
                group->material = material;
                std::free(name);
                break;
            }
            case 'u': {
                const char* text;
                size_t tlen;
                objRestOfLine(s, &text, &tlen);
                if (noLibrary) break;
                char* name = objFirstWord(text, tlen);
                material = objFindMaterial(model, name ? name : "");
                group->material = material;
                std::free(name);
                break;
            }
            case 'f': {
                // The counters run one ahead of the entries defined so far.
                auto resolve = [&](ObjCorner* c) {
                    const char* what = "vertex";
                    const char* whats = "vertices";
                    int given = c->v;
                    unsigned int total = model->numvertices;
                    bool ok = objResolveIndex(&c->v, numvertices - 1, model->numvertices);
                    // Texture and normal indices of 0 are the ones the corner does not give.
                    if (ok && c->t != 0) {
                        what = "texture coordinate";
                        whats = "texture coordinates";
                        given = c->t;
                        total = model->numtexcoords;
                        ok = objResolveIndex(&c->t, numtexcoords - 1, model->numtexcoords);
                    }
                    if (ok && c->n != 0) {
                        what = "normal";
                        whats = "normals";
                        given = c->n;
                        total = model->numnormals;
                        ok = objResolveIndex(&c->n, numnormals - 1, model->numnormals);
                    }
                    if (!ok) {
                        logErr() << "Error in objRead(): " << model->pathname << ", line " << objLineOf(s, word)
                                 << ": face " << what << " index " << given << " is out of range (the file defines " << total
                                 << " " << whats << ")." << std::endl;
                    }
                    return ok;
                };
                const bool faceOk = objReadFace(s, resolve, [&](const ObjCorner& a, const ObjCorner& b, const ObjCorner& c) {
                    if (numtriangles >= model->numtriangles) return;
                    ObjTriangle& t = model->triangles[numtriangles];
                    const ObjCorner* corners[3] = {&a, &b, &c};
                    for (int k = 0; k < 3; ++k) {
                        t.vindices[k] = corners[k]->v;
                        t.tindices[k] = corners[k]->t;
                        t.nindices[k] = corners[k]->n;
                    }
                    t.findex = 0;
                    if (group->numtriangles < groupCapacity) group->triangles[group->numtriangles++] = numtriangles;
                    numtriangles++;
                });
                if (!faceOk) {
                    std::free(capacities);
                    return false;
                }
                break;
            }
            default:
                objSkipLine(s);
                break;
        }
    }
    std::free(capacities);
    return true;
}

// ---------------------------------------------------------------------------------------------

ObjModel* objRead(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (!file) {
        logErr() << "objRead() failed: can't open data file \"" << path << "\"." << std::endl;
        return nullptr;
    }
    size_t len = 0;
    char* data = objReadFile(file, &len);
    std::fclose(file);

    ObjModel* model = static_cast<ObjModel*>(objCalloc(1, sizeof(ObjModel)));
    model->pathname = objStrndup(path, std::strlen(path));

    ObjScanner s = {data, data, data + len};
    bool noLibrary = false;
    if (!objFirstPass(model, &s, &noLibrary)) {
        std::free(data);
        objDelete(model);
        return nullptr;
    }

    model->vertices = static_cast<float*>(objCalloc(3 * (static_cast<size_t>(model->numvertices) + 1), sizeof(float)));
    model->triangles = static_cast<ObjTriangle*>(objCalloc(model->numtriangles, sizeof(ObjTriangle)));
    if (model->numnormals)
        model->normals = static_cast<float*>(objCalloc(3 * (static_cast<size_t>(model->numnormals) + 1), sizeof(float)));
    if (model->numtexcoords)
        model->texcoords =
            static_cast<float*>(objCalloc(2 * (static_cast<size_t>(model->numtexcoords) + 1), sizeof(float)));

    s.p = s.begin;
    const bool complete = objSecondPass(model, &s, noLibrary);
    std::free(data);
    if (!complete) {
        objDelete(model);
        return nullptr;
    }
    return model;
}

void objFacetNormals(ObjModel* model) {
    std::free(model->facetnorms);
    model->numfacetnorms = model->numtriangles;
    model->facetnorms =
        static_cast<float*>(objCalloc(3 * (static_cast<size_t>(model->numfacetnorms) + 1), sizeof(float)));
    for (unsigned int i = 0; i < model->numtriangles; ++i) {
        ObjTriangle& t = model->triangles[i];
        t.findex = static_cast<int>(i + 1);
        float* n = &model->facetnorms[3 * (static_cast<size_t>(i) + 1)];
        bool valid = true;
        for (int k = 0; k < 3; ++k) {
            if (t.vindices[k] < 1 || static_cast<unsigned int>(t.vindices[k]) > model->numvertices) valid = false;
        }
        if (!valid) continue;  // zero normal; the loader drops such a triangle
        const float* a = &model->vertices[3 * static_cast<size_t>(t.vindices[0])];
        const float* b = &model->vertices[3 * static_cast<size_t>(t.vindices[1])];
        const float* c = &model->vertices[3 * static_cast<size_t>(t.vindices[2])];
        float u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
        float v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        n[0] = u[1] * v[2] - u[2] * v[1];
        n[1] = u[2] * v[0] - u[0] * v[2];
        n[2] = u[0] * v[1] - u[1] * v[0];
        const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (!(length > 0.0f)) {
            n[0] = n[1] = n[2] = 0.0f;  // degenerate triangle
            continue;
        }
        for (int k = 0; k < 3; ++k) n[k] /= length;
    }
}

void objDelete(ObjModel* model) {
    if (!model) return;
    std::free(model->pathname);
    std::free(model->mtllibname);
    std::free(model->vertices);
    std::free(model->normals);
    std::free(model->texcoords);
    std::free(model->facetnorms);
    std::free(model->triangles);
    objFreeMaterials(model);
    ObjGroup* g = model->groups;
    while (g) {
        ObjGroup* next = g->next;
        std::free(g->name);
        std::free(g->triangles);
        std::free(g);
        g = next;
    }
    std::free(model);
}

}  // namespace veltrix
