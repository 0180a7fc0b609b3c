#pragma once
// Types, constant families and small helpers shared by every unit.
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The program's own 32-bit atomics (full barrier). A compare-exchange of -1 with -1
// serves as an atomic read of a value that is never -1.
int32_t InterlockedExchange(volatile int32_t& Target, int32_t Source);
int32_t InterlockedExchangeAdd(volatile int32_t& Target, int32_t Source);
int32_t InterlockedCompareExchange(volatile int32_t& Target, int32_t NewValue, int32_t Comperand);

// ---- Plain types ----

struct TZNT1Color {
  float r, g, b, a;
};
static_assert(sizeof(TZNT1Color) == 16 && offsetof(TZNT1Color, a) == 12);

// A console command handler bound to its object; receives the argument text.
using TZNT1CommandFunction = std::function<void(const std::string& Args)>;

// IntroSort's ordering: negative when a goes first, positive when b does, 0 when either will do.
using TZNT1SortCompareFunction = int32_t (*)(const void* a, const void* b);

// Views over raw memory, indexed from 0.
using TZNT1LongintArray = int32_t[];
using PZNT1LongintArray = int32_t*;
using TGLSizeIArray = int32_t[];  // GLsizei
using PGLSizeIArray = int32_t*;
using TPointerArray = void*[];
using PPointerArray = void**;

// ---- Console-variable flags ----
constexpr uint32_t CVAR_ARCHIVE = 1;
constexpr uint32_t CVAR_USERINFO = 2;
constexpr uint32_t CVAR_SERVERINFO = 4;
constexpr uint32_t CVAR_SYSTEMINFO = 8;
constexpr uint32_t CVAR_INIT = 16;
constexpr uint32_t CVAR_LATCH = 32;
constexpr uint32_t CVAR_ROM = 64;
constexpr uint32_t CVAR_USER_CREATED = 128;
constexpr uint32_t CVAR_TEMP = 256;
constexpr uint32_t CVAR_CHEAT = 512;
constexpr uint32_t CVAR_SERVER_CREATED = 2048;
constexpr uint32_t CVAR_SCRIPT_CREATED = 4096;
constexpr uint32_t CVAR_PROTECTED = 8192;
constexpr uint32_t CVAR_MODIFIED = 0x40000000;
constexpr uint32_t CVAR_NONEXISTENT = 0x80000000;

// ---- Brush contents of the map format ----
constexpr uint32_t CONTENTS_SOLID = 1;
constexpr uint32_t CONTENTS_WINDOW = 2;
constexpr uint32_t CONTENTS_AUX = 4;
constexpr uint32_t CONTENTS_LAVA = 8;
constexpr uint32_t CONTENTS_SLIME = 0x10;
constexpr uint32_t CONTENTS_WATER = 0x20;
constexpr uint32_t CONTENTS_FOG = 0x40;
constexpr uint32_t CONTENTS_NOTTEAM1 = 0x80;
constexpr uint32_t CONTENTS_NOTTEAM2 = 0x100;
constexpr uint32_t CONTENTS_NOBOTCLIP = 0x200;
constexpr uint32_t CONTENTS_AREAPORTAL = 0x8000;
constexpr uint32_t CONTENTS_PLAYERCLIP = 0x10000;
constexpr uint32_t CONTENTS_MONSTERCLIP = 0x20000;
constexpr uint32_t CONTENTS_TELEPORTER = 0x40000;
constexpr uint32_t CONTENTS_JUMPPAD = 0x80000;
constexpr uint32_t CONTENTS_CLUSTERPORTAL = 0x100000;
constexpr uint32_t CONTENTS_DONOTENTER = 0x200000;
constexpr uint32_t CONTENTS_BOTCLIP = 0x400000;
constexpr uint32_t CONTENTS_MOVER = 0x800000;
constexpr uint32_t CONTENTS_ORIGIN = 0x1000000;
constexpr uint32_t CONTENTS_BODY = 0x2000000;
constexpr uint32_t CONTENTS_CORPSE = 0x4000000;
constexpr uint32_t CONTENTS_DETAIL = 0x8000000;
constexpr uint32_t CONTENTS_STRUCTURAL = 0x10000000;
constexpr uint32_t CONTENTS_TRANSLUCENT = 0x20000000;
constexpr uint32_t CONTENTS_TRIGGER = 0x40000000;
constexpr uint32_t CONTENTS_NODROP = 0x80000000;
constexpr uint32_t CONTENTS_SET_NO_COLLISION_ONE = CONTENTS_AUX | CONTENTS_LAVA | CONTENTS_WATER;
constexpr uint32_t LAST_VISIBLE_CONTENTS = 64;
static_assert(CONTENTS_SET_NO_COLLISION_ONE == 44);

// ---- Content masks ----
constexpr uint32_t MASK_SOLID = CONTENTS_SOLID;
constexpr uint32_t MASK_PLAYERSOLID = CONTENTS_SOLID | CONTENTS_PLAYERCLIP | CONTENTS_BODY;
constexpr uint32_t MASK_DEADSOLID = CONTENTS_SOLID | CONTENTS_PLAYERCLIP;
constexpr uint32_t MASK_MONSTERSOLID = CONTENTS_SOLID | CONTENTS_MONSTERCLIP | CONTENTS_BODY;
constexpr uint32_t MASK_WATER = CONTENTS_LAVA | CONTENTS_SLIME | CONTENTS_WATER;
constexpr uint32_t MASK_OPAQUE = CONTENTS_SOLID | CONTENTS_LAVA | CONTENTS_SLIME;
constexpr uint32_t MASK_SHOT = CONTENTS_SOLID | CONTENTS_BODY | CONTENTS_CORPSE;
static_assert(MASK_SOLID == 1);
static_assert(MASK_PLAYERSOLID == 0x2010001 && MASK_PLAYERSOLID == 33619969);
static_assert(MASK_DEADSOLID == 0x10001 && MASK_DEADSOLID == 65537);
static_assert(MASK_MONSTERSOLID == 0x2020001);
static_assert(MASK_WATER == 0x38 && MASK_WATER == 56);
static_assert(MASK_OPAQUE == 0x19);
static_assert(MASK_SHOT == 0x6000001);

// ---- Surface flags of the map format ----
constexpr uint32_t SURF_NODAMAGE = 1;
constexpr uint32_t SURF_SLICK = 2;
constexpr uint32_t SURF_SKY = 4;
constexpr uint32_t SURF_LADDER = 8;
constexpr uint32_t SURF_NOIMPACT = 0x10;
constexpr uint32_t SURF_NOMARKS = 0x20;
constexpr uint32_t SURF_FLESH = 0x40;
constexpr uint32_t SURF_NODRAW = 0x80;
constexpr uint32_t SURF_HINT = 0x100;
constexpr uint32_t SURF_SKIP = 0x200;
constexpr uint32_t SURF_NOLIGHTMAP = 0x400;
constexpr uint32_t SURF_POINTLIGHT = 0x800;
constexpr uint32_t SURF_METALSTEPS = 0x1000;
constexpr uint32_t SURF_NOSTEPS = 0x2000;
constexpr uint32_t SURF_NONSOLID = 0x4000;
constexpr uint32_t SURF_LIGHTFILTER = 0x8000;
constexpr uint32_t SURF_ALPHASHADOW = 0x10000;
constexpr uint32_t SURF_NODLIGHT = 0x20000;
constexpr uint32_t SURF_DUST = 0x40000;

// ---- Material flags ----
constexpr uint32_t SF_NOMIPMAP = 2;
constexpr uint32_t SF_NOPICMIP = 4;
constexpr uint32_t SF_POLYGONOFFSET = 8;
constexpr uint32_t SF_PORTAL = 0x10;
constexpr uint32_t SF_HASLIGHTMAP = 0x20;
constexpr uint32_t SF_HASCOLORS = 0x40;
constexpr uint32_t SF_HASTCMOD = 0x80;
constexpr uint32_t SF_USENORMALS = 0x100;
constexpr uint32_t SF_MULTITEX = 0x200;
constexpr uint32_t SF_SKY = 0x400;
constexpr uint32_t SF_LIGHT = 0x900;  // carries the SF_USENORMALS bit too
constexpr uint32_t SF_TRANS = 0x1000;
constexpr uint32_t SF_NOCULL = 0x2000;
constexpr uint32_t SF_CULLBACK = 0x4000;
constexpr uint32_t SF_CULLFRONT = 0x8000;
constexpr uint32_t SF_SORTKEY = 0x10000;
constexpr uint32_t SF_DEFORM = 0x20000;
constexpr uint32_t SF_FOG = 0x40000;
constexpr uint32_t SF_ALPHAFUNC = 0x80000;
constexpr uint32_t SF_BLENDFUNC = 0x100000;
constexpr uint32_t SF_ALPHAWAVE = 0x200000;
constexpr uint32_t SF_DEPTHFUNC = 0x400000;
constexpr uint32_t SF_DEPTHWRITE = 0x800000;
constexpr uint32_t SF_DETAIL = 0x1000000;
constexpr uint32_t SF_CLAMP = 0x2000000;
constexpr uint32_t SF_ANIM = 0x4000000;
constexpr uint32_t SF_ALPHAGEN = 0x8000000;
static_assert(SF_LIGHT == 2304 && (SF_LIGHT & SF_USENORMALS) == SF_USENORMALS);

// ---- Packed GL state of a material stage ----
constexpr uint32_t GLS_SRCBLEND_ZERO = 1;
constexpr uint32_t GLS_SRCBLEND_ONE = 2;
constexpr uint32_t GLS_SRCBLEND_DST_COLOR = 3;
constexpr uint32_t GLS_SRCBLEND_ONE_MINUS_DST_COLOR = 4;
constexpr uint32_t GLS_SRCBLEND_SRC_ALPHA = 5;
constexpr uint32_t GLS_SRCBLEND_ONE_MINUS_SRC_ALPHA = 6;
constexpr uint32_t GLS_SRCBLEND_DST_ALPHA = 7;
constexpr uint32_t GLS_SRCBLEND_ONE_MINUS_DST_ALPHA = 8;
constexpr uint32_t GLS_SRCBLEND_ALPHA_SATURATE = 9;
constexpr uint32_t GLS_SRCBLEND_BITS = 0xF;
constexpr uint32_t GLS_DSTBLEND_ZERO = 0x10;
constexpr uint32_t GLS_DSTBLEND_ONE = 0x20;
constexpr uint32_t GLS_DSTBLEND_SRC_COLOR = 0x30;
constexpr uint32_t GLS_DSTBLEND_ONE_MINUS_SRC_COLOR = 0x40;
constexpr uint32_t GLS_DSTBLEND_SRC_ALPHA = 0x50;
constexpr uint32_t GLS_DSTBLEND_ONE_MINUS_SRC_ALPHA = 0x60;
constexpr uint32_t GLS_DSTBLEND_DST_ALPHA = 0x70;
constexpr uint32_t GLS_DSTBLEND_ONE_MINUS_DST_ALPHA = 0x80;
constexpr uint32_t GLS_DSTBLEND_BITS = 0xF0;
constexpr uint32_t GLS_DEPTHMASK_TRUE = 0x100;
constexpr uint32_t GLS_POLYMODE_LINE = 0x1000;
constexpr uint32_t GLS_DEPTHTEST_DISABLE = 0x10000;
constexpr uint32_t GLS_DEPTHFUNC_EQUAL = 0x20000;
constexpr uint32_t GLS_DEPTHFUNC_BITS = 0x20000;
constexpr uint32_t GLS_ATEST_GT_0 = 0x10000000;
constexpr uint32_t GLS_ATEST_LT_80 = 0x20000000;
constexpr uint32_t GLS_ATEST_GE_80 = 0x40000000;
constexpr uint32_t GLS_ATEST_BITS = GLS_ATEST_GT_0 | GLS_ATEST_LT_80 | GLS_ATEST_GE_80;
constexpr uint32_t GLS_DEFAULT = GLS_DEPTHMASK_TRUE;
static_assert(GLS_ATEST_BITS == 0x70000000 && GLS_ATEST_BITS == 1879048192);
static_assert(GLS_DEFAULT == 0x100);
static_assert((GLS_SRCBLEND_ALPHA_SATURATE & ~GLS_SRCBLEND_BITS) == 0);
static_assert((GLS_DSTBLEND_ONE_MINUS_DST_ALPHA & ~GLS_DSTBLEND_BITS) == 0);

// ---- Material sort keys ----
constexpr int32_t SORT_NONE = 0;
constexpr int32_t SORT_PORTAL = 1;
constexpr int32_t SORT_ENVIRONMENT = 2;
constexpr int32_t SORT_OPAQUE = 3;
constexpr int32_t SORT_DECAL = 4;
constexpr int32_t SORT_SEETHROUGH = 5;
constexpr int32_t SORT_BANNER = 6;
constexpr int32_t SORT_FOG = 7;
constexpr int32_t SORT_UNDERWATER = 8;
constexpr int32_t SORT_BLEND0 = 9;
constexpr int32_t SORT_BLEND1 = 10;
constexpr int32_t SORT_BLEND2 = 11;
constexpr int32_t SORT_BLEND3 = 12;
constexpr int32_t SORT_BLEND6 = 13;
constexpr int32_t SORT_STENCILSHADOW = 14;
constexpr int32_t SORT_ALMOSTNEAREST = 15;
constexpr int32_t SORT_NEAREST = 16;
constexpr int32_t SORT_ALLABOVE = 17;

// ---- Enumerations of the material stages ----
constexpr int32_t GF_NONE = 0;
constexpr int32_t GF_SIN = 1;
constexpr int32_t GF_SQUARE = 2;
constexpr int32_t GF_TRIANGLE = 3;
constexpr int32_t GF_SAWTOOTH = 4;
constexpr int32_t GF_INVERSESAWTOOTH = 5;
constexpr int32_t GF_NOISE = 6;

constexpr int32_t DEFORM_NONE = 0;
constexpr int32_t DEFORM_PROJECTION_SHADOW = 1;
constexpr int32_t DEFORM_AUTOSPRITE = 2;
constexpr int32_t DEFORM_AUTOSPRITE2 = 3;
constexpr int32_t DEFORM_TEXT0 = 4;
constexpr int32_t DEFORM_TEXT1 = 5;
constexpr int32_t DEFORM_TEXT2 = 6;
constexpr int32_t DEFORM_TEXT3 = 7;
constexpr int32_t DEFORM_TEXT4 = 8;
constexpr int32_t DEFORM_TEXT5 = 9;
constexpr int32_t DEFORM_TEXT6 = 10;
constexpr int32_t DEFORM_TEXT7 = 11;
constexpr int32_t DEFORM_BULGE = 12;
constexpr int32_t DEFORM_WAVE = 13;
constexpr int32_t DEFORM_NORMALS = 14;
constexpr int32_t DEFORM_MOVE = 15;

constexpr int32_t AGEN_IDENTITY = 0;
constexpr int32_t AGEN_SKIP = 1;
constexpr int32_t AGEN_ENTITY = 2;
constexpr int32_t AGEN_ONE_MINUS_ENTITY = 3;
constexpr int32_t AGEN_VERTEX = 4;
constexpr int32_t AGEN_ONE_MINUS_VERTEX = 5;
constexpr int32_t AGEN_LIGHTING_SPECULAR = 6;
constexpr int32_t AGEN_WAVEFORM = 7;
constexpr int32_t AGEN_PORTAL = 8;
constexpr int32_t AGEN_CONST = 9;

constexpr int32_t CGEN_BAD = 0;
constexpr int32_t CGEN_IDENTITY_LIGHTING = 1;
constexpr int32_t CGEN_IDENTITY = 2;
constexpr int32_t CGEN_ENTITY = 3;
constexpr int32_t CGEN_ONE_MINUS_ENTITY = 4;
constexpr int32_t CGEN_EXACT_VERTEX = 5;
constexpr int32_t CGEN_VERTEX = 6;
constexpr int32_t CGEN_ONE_MINUS_VERTEX = 7;
constexpr int32_t CGEN_WAVEFORM = 8;
constexpr int32_t CGEN_LIGHTING_DIFFUSE = 9;
constexpr int32_t CGEN_FOG = 10;
constexpr int32_t CGEN_CONST = 11;
constexpr int32_t CGEN_LIGHTING_UNIFORM = 12;
constexpr int32_t CGEN_LIGHTING_DYNAMIC = 13;
constexpr int32_t CGEN_LIGHTING_DIFFUSE_VERTEX = 14;

constexpr int32_t TCGEN_BAD = 0;
constexpr int32_t TCGEN_IDENTITY = 1;
constexpr int32_t TCGEN_LIGHTMAP = 2;
constexpr int32_t TCGEN_TEXTURE = 3;
constexpr int32_t TCGEN_ENVIRONMENT_MAPPED = 4;
constexpr int32_t TCGEN_FOG = 5;
constexpr int32_t TCGEN_VECTOR = 6;
constexpr int32_t TCGEN_VIEWSPACE_ENVIRONMENT_MAPPED = 7;

constexpr int32_t TMOD_NONE = 0;
constexpr int32_t TMOD_TRANSFORM = 1;
constexpr int32_t TMOD_TURBULENT = 2;
constexpr int32_t TMOD_SCROLL = 3;
constexpr int32_t TMOD_SCALE = 4;
constexpr int32_t TMOD_STRETCH = 5;
constexpr int32_t TMOD_ROTATE = 6;
constexpr int32_t TMOD_ENTITY_TRANSLATE = 7;

constexpr int32_t ACFF_NONE = 0;
constexpr int32_t ACFF_MODULATE_RGB = 1;
constexpr int32_t ACFF_MODULATE_RGBA = 2;
constexpr int32_t ACFF_MODULATE_ALPHA = 3;

constexpr int32_t FP_NONE = 0;
constexpr int32_t FP_EQUAL = 1;
constexpr int32_t FP_LEQUAL = 2;
constexpr int32_t SP_NONE = 0;
constexpr int32_t SP_EQUAL = 1;
constexpr int32_t SP_LEQUAL = 2;

// ---- Limits and sizes ----
constexpr int32_t MAX_IMAGE_ANIMATIONS = 8;
constexpr int32_t NUM_TEXTURE_BUNDLES = 2;
constexpr int32_t MAX_TEXMODS = 4;
constexpr int32_t MAX_DEFORMS = 8;
constexpr int32_t FOG_TABLE_SIZE = 256;
constexpr int32_t LIGHTMAP_NONE = -1;
constexpr int32_t ZNT1MaxContexts = 4;
constexpr uint32_t GL_INDEX_DATATYPE = 5125;  // GL_UNSIGNED_INT: 32-bit indices
constexpr int32_t HASH_BITS = 16;
constexpr int32_t HASH_SIZE = 1 << HASH_BITS;
constexpr int32_t HASH_MASK = HASH_SIZE - 1;
constexpr int32_t HASH_SHIFT = 16;
constexpr int32_t CS_SERVERINFO = 1;
constexpr int32_t CS_SYSTEMINFO = 2;
static_assert(HASH_SIZE == 65536 && HASH_MASK == 65535);

// ---- Helpers ----

// Locale-free text to double (decimal unless a 0x prefix says otherwise); 0 on failure or NaN.
double StringToFloat(const std::string& s);
// Shortest text that reads back to the same double, "." as the decimal point.
std::string FloatToString(double Value);

// Smallest power of two >= x; 0 for 0 and for anything above 2^31.
uint32_t RoundUpToPowerOfTwo(uint32_t x);

// True when Count < 1 or the first Count bytes match; a null pointer with Count >= 1 gives false.
bool AreBytesEqual(const void* a, const void* b, int32_t Count);

// Cuts the text before the first byte of c off s and returns it; s loses that text and
// p + DeleteOffset bytes in all (p: the delimiter's position counted from 1). Without a
// delimiter returns all of s and empties it. With Continuous, delimiters at the new
// front of s go too.
std::string Parse(std::string& s, const std::bitset<256>& c, bool Continuous, int32_t DeleteOffset = 0);

// Multiplies by factor, scales all three back together when one exceeds range (hue kept),
// then clamps each into [0, range].
void ApplyColorOverbright(float& r, float& g, float& b, float range, float factor);
