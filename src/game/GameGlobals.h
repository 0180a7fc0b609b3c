#pragma once
// The game's shared constants (entity, item, weapon, power-up and player families) and its random numbers.
#include <cstdint>

// Entity types.
constexpr int32_t ET_UNKNOWN = 1;
constexpr int32_t ET_WORLDSPAWN = 2;
constexpr int32_t ET_INFO_PLAYER_START = 3;
constexpr int32_t ET_INFO_PLAYER_DEATHMATCH = 4;
constexpr int32_t ET_TEAM_CTF_BLUEPLAYER = 5;
constexpr int32_t ET_TEAM_CTF_REDPLAYER = 6;
constexpr int32_t ET_TARGET_SPEAKER = 7;
constexpr int32_t ET_TARGET_PRINT = 8;
constexpr int32_t ET_TARGET_LOCATION = 9;
constexpr int32_t ET_TARGET_POSITION = 10;
constexpr int32_t ET_TARGET_DELAY = 11;
constexpr int32_t ET_TARGET_GIVE = 12;
constexpr int32_t ET_TARGET_KILL = 13;
constexpr int32_t ET_TARGET_LASER = 14;
constexpr int32_t ET_TARGET_PUSH = 15;
constexpr int32_t ET_TARGET_RELAY = 16;
constexpr int32_t ET_TARGET_REMOVE_POWERUPS = 17;
constexpr int32_t ET_TARGET_SCORE = 18;
constexpr int32_t ET_TARGET_TELEPORTER = 19;
constexpr int32_t ET_TRIGGER_ALWAYS = 20;
constexpr int32_t ET_TRIGGER_HURT = 21;
constexpr int32_t ET_TRIGGER_MULTIPLE = 22;
constexpr int32_t ET_TRIGGER_PUSH = 23;
constexpr int32_t ET_TRIGGER_TELEPORT = 24;
constexpr int32_t ET_FUNC_TIMER = 25;
constexpr int32_t ET_FUNC_BOBBING = 26;
constexpr int32_t ET_FUNC_PENDULUM = 27;
constexpr int32_t ET_FUNC_ROTATING = 28;
constexpr int32_t ET_FUNC_TRAIN = 29;
constexpr int32_t ET_PATH_CORNER = 30;
constexpr int32_t ET_FUNC_BUTTON = 31;
constexpr int32_t ET_FUNC_DOOR = 32;
constexpr int32_t ET_FUNC_GROUP = 33;
constexpr int32_t ET_FUNC_PLAT = 34;
constexpr int32_t ET_FUNC_STATIC = 35;
constexpr int32_t ET_MISC_TELEPORTER_DEST = 36;
constexpr int32_t ET_ITEM = 37;
constexpr int32_t ET_INFO_NOTNULL = 38;
constexpr int32_t ET_INFO_NULL = 39;
constexpr int32_t ET_FUNC_BREAKABLE = 40;
constexpr int32_t ET_MODEL = 128;
constexpr int32_t ET_CLIENT = 129;
constexpr int32_t ET_MISSILE = 130;

// Item types.
constexpr int32_t IT_UNKNOWN = 0;
constexpr int32_t IT_BAD = 1;
constexpr int32_t IT_WEAPON = 2;
constexpr int32_t IT_AMMO = 3;
constexpr int32_t IT_ARMOR = 4;
constexpr int32_t IT_HEALTH = 5;
constexpr int32_t IT_POWERUP = 6;
constexpr int32_t IT_HOLDABLE = 7;
constexpr int32_t IT_PERSISTANT_POWERUP = 8;
constexpr int32_t IT_TEAM = 9;

// Weapons, in weapon-cache order.
constexpr int32_t WP_NONE = -1;
constexpr int32_t WP_GAUNTLET = 0;
constexpr int32_t WP_SHOTGUN = 1;
constexpr int32_t WP_MACHINEGUN = 2;
constexpr int32_t WP_GRENADE_LAUNCHER = 3;
constexpr int32_t WP_ROCKET_LAUNCHER = 4;
constexpr int32_t WP_LIGHTNING = 5;
constexpr int32_t WP_RAILGUN = 6;
constexpr int32_t WP_PLASMAGUN = 7;
constexpr int32_t WP_BFG = 8;
constexpr int32_t WP_GRAPPLING_HOOK = 9;
constexpr int32_t WP_NAILGUN = 10;
constexpr int32_t WP_PROX_LAUNCHER = 11;
constexpr int32_t WP_CHAINGUN = 12;
constexpr int32_t WP_NUM_WEAPONS = 13;

// Power-ups.
constexpr int32_t PW_NONE = 0;
constexpr int32_t PW_QUAD = 1;
constexpr int32_t PW_BATTLESUIT = 2;
constexpr int32_t PW_HASTE = 3;
constexpr int32_t PW_INVIS = 4;
constexpr int32_t PW_REGEN = 5;
constexpr int32_t PW_FLIGHT = 6;
constexpr int32_t PW_REDFLAG = 7;
constexpr int32_t PW_BLUEFLAG = 8;
constexpr int32_t PW_NEUTRALFLAG = 9;
constexpr int32_t PW_SCOUT = 10;
constexpr int32_t PW_GUARD = 11;
constexpr int32_t PW_DOUBLER = 12;
constexpr int32_t PW_AMMOREGEN = 13;
constexpr int32_t PW_INVULNERABILITY = 14;
constexpr int32_t PW_NUM_POWERUPS = 15;

// Holdable items.
constexpr int32_t HI_NONE = 0;
constexpr int32_t HI_TELEPORTER = 1;
constexpr int32_t HI_MEDKIT = 2;
constexpr int32_t HI_KAMIKAZE = 3;
constexpr int32_t HI_PORTAL = 4;
constexpr int32_t HI_INVULNERABILITY = 5;
constexpr int32_t HI_NUM_HOLDABLE = 6;

// Door spawn flags; only DOOR_START_OPEN changes anything.
constexpr int32_t DOOR_START_OPEN = 1;
constexpr int32_t DOOR_REVERSE = 2;
constexpr int32_t DOOR_CRUSHER = 4;
constexpr int32_t DOOR_NOMONSTER = 8;
constexpr int32_t DOOR_TOGGLE = 32;
constexpr int32_t DOOR_X_AXIS = 64;
constexpr int32_t DOOR_Y_AXIS = 128;

// Respawn position types.
constexpr uint32_t rptSTART = 1;
constexpr uint32_t rptRACE = 2;
constexpr uint32_t rptTEAM1 = 4;
constexpr uint32_t rptTEAM2 = 8;
constexpr uint32_t rptDEATHMATCH = 16;
constexpr uint32_t rptCTFBLUE = 32;
constexpr uint32_t rptCTFRED = 64;
constexpr uint32_t rptALL = 0xFFFFFFFFu;

// Entity list.
constexpr int32_t MaxClients = 64;
constexpr double TimeWrap = 86400.0;
constexpr int32_t COLLISION_PAIR_HASH_SIZE = 4096;
constexpr int32_t COLLISION_PAIR_HASH_MASK = 4095;
constexpr int32_t EntityIndexBase = 0x10000001;  // map entity i draws with EntityIndexBase + 2i

// Player state flags.
constexpr uint32_t gcfDUCKED = 1;
constexpr uint32_t gcfJUMP_HELD = 2;
constexpr uint32_t gcfBACKWARDS_JUMP = 8;
constexpr uint32_t gcfBACKWARDS_RUN = 16;
constexpr uint32_t gcfTIME_LAND = 32;
constexpr uint32_t gcfTIME_KNOCKBACK = 64;
constexpr uint32_t gcfTIME_WATERJUMP = 256;
constexpr uint32_t gcfRESPAWNED = 512;
constexpr uint32_t gcfUSE_ITEM_HELD = 1024;
constexpr uint32_t gcfGRAPPLE_PULL = 2048;
constexpr uint32_t gcfFOLLOW = 4096;
constexpr uint32_t gcfSCOREBOARD = 8192;
constexpr uint32_t gcfINVULEXPAND = 16384;
constexpr uint32_t gcfALL_TIMES = gcfTIME_LAND | gcfTIME_KNOCKBACK | gcfTIME_WATERJUMP;
static_assert(gcfALL_TIMES == 352);

// Player input bits.
constexpr uint32_t gccfFORWARD = 1;
constexpr uint32_t gccfBACKWARD = 2;
constexpr uint32_t gccfSIDELEFT = 4;
constexpr uint32_t gccfSIDERIGHT = 8;
constexpr uint32_t gccfJUMP = 16;
constexpr uint32_t gccfDUCK = 32;
constexpr uint32_t gccfWALK = 64;
constexpr uint32_t gccfATTACK = 128;
constexpr uint32_t gccfMOVEMENT = gccfFORWARD | gccfBACKWARD | gccfSIDELEFT | gccfSIDERIGHT;

// Player modes; only gcmALIVE is ever set.
constexpr int32_t gcmSPECTATOR = 0;
constexpr int32_t gcmALIVE = 1;
constexpr int32_t gcmDEAD = 2;
constexpr int32_t gcmNOCLIP = 3;
constexpr int32_t gcmFREEZE = 4;
constexpr int32_t gcmINTERMISSION = 5;
constexpr int32_t gcmSPINTERMISSION = 6;

// Player model animations: rows of "animation.cfg", then two derived backward rows.
constexpr int32_t BOTH_DEATH1 = 0;
constexpr int32_t BOTH_DEAD1 = 1;
constexpr int32_t BOTH_DEATH2 = 2;
constexpr int32_t BOTH_DEAD2 = 3;
constexpr int32_t BOTH_DEATH3 = 4;
constexpr int32_t BOTH_DEAD3 = 5;
constexpr int32_t TORSO_GESTURE = 6;
constexpr int32_t TORSO_ATTACK = 7;
constexpr int32_t TORSO_ATTACK2 = 8;
constexpr int32_t TORSO_DROP = 9;
constexpr int32_t TORSO_RAISE = 10;
constexpr int32_t TORSO_STAND = 11;
constexpr int32_t TORSO_STAND2 = 12;
constexpr int32_t LEGS_WALKCR = 13;
constexpr int32_t LEGS_WALK = 14;
constexpr int32_t LEGS_RUN = 15;
constexpr int32_t LEGS_BACK = 16;
constexpr int32_t LEGS_SWIM = 17;
constexpr int32_t LEGS_JUMP = 18;
constexpr int32_t LEGS_LAND = 19;
constexpr int32_t LEGS_JUMPB = 20;
constexpr int32_t LEGS_LANDB = 21;
constexpr int32_t LEGS_IDLE = 22;
constexpr int32_t LEGS_IDLECR = 23;
constexpr int32_t LEGS_TURN = 24;
constexpr int32_t MAX_ANIMATIONS = 25;
constexpr int32_t LEGS_BACKCR = 25;
constexpr int32_t LEGS_BACKWALK = 26;
constexpr int32_t MAX_ANIMATIONS_EX = 27;

// Player model sexes.
constexpr int32_t pmsUNKNOWN = 0;
constexpr int32_t pmsMALE = 1;
constexpr int32_t pmsFEMALE = 2;

// Player view and box.
constexpr float DEFAULT_VIEWHEIGHT = 26.0f;
constexpr float CROUCH_VIEWHEIGHT = 12.0f;
constexpr float DEAD_VIEWHEIGHT = -16.0f;
constexpr float MINS_Z = -24.0f;

// Random numbers. Each thread draws from a generator of its own, so the mixing thread never
// disturbs the game thread's sequence; a thread that never seeds starts from a fixed seed.
void RandomSeed(uint64_t Seed);
// Uniform in [0, 1).
double Random();
// Uniform integer in [0, Range); 0 when Range <= 0.
int32_t Random(int32_t Range);
