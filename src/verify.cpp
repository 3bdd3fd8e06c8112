#include "verify.h"

#include <cstdlib>
#include <cstring>

#include "fixed_text.h"
#include "global.h"
#include "vyr_log.h"

namespace {

const char* tf(bool b) { return b ? "true" : "false"; }

int charValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return 0;  // '<' and anything else
}

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// atoi over the two characters at s (stops at a NUL or the first non-digit).
int twoDigits(const char* s) {
  char buf[3] = {s[0], s[0] != '\0' ? s[1] : '\0', '\0'};
  return std::atoi(buf);
}

// The O/0 rule of the optional data: inner positions first..last, left to
// right; a '0' between two letters becomes 'O', an 'O' between two digits '0'.
void neighbourRule(char* s, int first, int last) {
  for (int i = first; i <= last; ++i) {
    if (s[i] == '0' && isUpper(s[i - 1]) && isUpper(s[i + 1])) s[i] = 'O';
    if (s[i] == 'O' && isDigit(s[i - 1]) && isDigit(s[i + 1])) s[i] = '0';
  }
}

// Appends a fixed-width text field up to its terminator.
template <std::size_t N>
void appendField(std::string& out, const char (&field)[N]) {
  out.append(field, strnlen(field, N));
}

}  // namespace

// ============================================================================
// Check digits, dates, composite
// ============================================================================

bool verify(char* field) {
  if (field == nullptr || field[0] == '\0') return false;
  const std::size_t n = std::strlen(field);
  if (std::memchr(field, ' ', n) != nullptr) return false;
  const char last = field[n - 1];
  if (last == '<' || isUpper(last)) return true;
  if (n < 2) return false;
  // Summed as it goes: no copy of the field, so no length limit.
  static const int kWeights[3] = {7, 3, 1};
  int sum = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) sum = (sum + charValue(field[i]) * kWeights[i % 3]) % 10;
  return last - '0' == sum;
}

bool verifyDate(char* date) {
  if (date == nullptr || strnlen(date, 6) < 6) return false;
  if (std::strncmp(date, "<<<<<<", 6) == 0) return true;
  if (date[2] != '<' && date[3] != '<') {
    const int month = twoDigits(date + 2);
    if (month < 1 || month > 12) return false;
  }
  if (date[4] == '<' || date[5] == '<') return true;
  const int day = twoDigits(date + 4);
  return day >= 1 && day <= 31;
}

bool checkFinal(PASSPORT_OCR_RESULT& r, int pos) {
  std::string composite;
  composite.reserve(100);
  int at = pos;
  if (r.mrz_type == 1) at = 79;  // line 2, position 36
  if (at < 0 || at >= 88) {
    r.final_valid = 0;
    vyr_log(0, "final: digit index %d outside the MRZ", pos);
    return false;
  }
  if (r.mrz[at] == 'O') r.mrz[at] = '0';
  vyr::copy_text(r.final_check, &r.mrz[at], 1);
  appendField(composite, r.id);
  appendField(composite, r.birthday);
  appendField(composite, r.expired);
  if (r.mrz_type != 1) appendField(composite, r.option);
  appendField(composite, r.final_check);

  if (r.final_check[0] == '<')
    r.final_valid = 1;
  else
    r.final_valid = verify(&composite[0]) ? 1 : 0;
  vyr_log(0, "final:[%s] v:%s", composite.c_str(), tf(r.final_valid != 0));
  return r.final_valid != 0;
}

// ============================================================================
// Per-field checks (library exports; the scan path uses the item checks)
// ============================================================================

bool checkBirthDate(char* text, int pos) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  vyr::copy_text(r.birthday, text + pos, 7);
  r.birthday_valid = verify(r.birthday) ? 1 : 0;
  vyr_log(0, "Birthday: [%s] v:%s", r.birthday, tf(r.birthday_valid));
  return r.birthday_valid != 0;
}

bool checkExpiredDate(char* text, int pos) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  vyr::copy_text(r.expired, text + pos, 7);
  r.expired_valid = verify(r.expired) ? 1 : 0;
  vyr_log(0, "Expired: [%s] v:%s", r.expired, tf(r.expired_valid));
  return r.expired_valid != 0;
}

bool checkIssueCount(char* text, int pos) {
  char local[6] = {0};
  vyr::copy_text(local, text + pos, 3);
  const bool ok = verify(local);
  vyr_log(0, "Issue_count: [%s] v:%s", local, tf(ok));
  return ok;
}

namespace {

// Shared by checkNCode and checkNCode1: stores the code into `field`, tests
// it, and on success puts the repaired code back into the text.
template <std::size_t N>
bool checkStateCode(char* text, int pos, char (&field)[N], uint8_t& valid, const char* label) {
  vyr::copy_text(field, text + pos, 3);
  std::string name;
  valid = verifyNCode(field, name) ? 1 : 0;
  if (valid) std::memcpy(text + pos, field, strnlen(field, 3));
  vyr_log(0, "%s: [%s] v:%s", label, field, tf(valid));
  return valid != 0;
}

}  // namespace

bool checkNCode(char* text, int pos) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  return checkStateCode(text, pos, r.nationality, r.nationality_valid, "nationality");
}

bool checkNCode1(char* text, int pos) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  return checkStateCode(text, pos, r.issue_country, r.issue_country_valid, "issue_country");
}

bool checkSex(char* text, int pos) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  vyr::copy_text(r.sex, text + pos, 1);
  r.sex_valid = 0;
  if (r.sex[0] == 'M' || r.sex[0] == 'F') r.sex_valid = 1;
  vyr_log(0, "Sex: [%s] v:%s", r.sex, tf(r.sex_valid));
  return r.sex_valid != 0;
}

bool checkSelectData2(char* text, int pos) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  if (r.mrz_type == 1) {
    char local[8] = {0};
    vyr::copy_text(local, text + pos, 7);
    if (std::strlen(local) == 7) neighbourRule(local, 1, 5);
    vyr::copy_text(r.option, local);
    r.option_valid = 0;
    std::memcpy(text + pos, r.option, std::strlen(r.option));
    vyr_log(0, "seleData:[%s] v:%s", r.option, "None");
    return true;
  }
  vyr::copy_text(r.option, text + pos, 15);
  char local[16] = {0};
  vyr::copy_field(local, r.option);
  bool ok;
  if (std::strlen(local) == 15 && local[14] == '<') {
    vyr_log(0, "seleData:[%s] v:%s", r.option, "None");
    ok = true;
  } else if (verify(local)) {
    ok = true;
  } else {
    if (std::strlen(local) == 15) neighbourRule(local, 1, 13);
    ok = verify(local);
    if (ok) vyr::copy_text(r.option, local);
    vyr_log(0, "seleData:[%s] v:%s", r.option, tf(ok));
  }
  r.option_valid = ok ? 1 : 0;
  std::memcpy(text + pos, r.option, std::strlen(r.option));
  return ok;
}

bool checkID(char* text, int start, int len) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  if (text == nullptr || len < 1 || len > 10 || strnlen(text + start, len) < static_cast<std::size_t>(len)) {
    r.id_valid = 0;
    return false;
  }
  if (text[start + len - 1] == 'O') text[start + len - 1] = '0';
  vyr::copy_text(r.id, text + start, len);
  r.id_valid = (r.id[len - 1] == '<' || verify(r.id)) ? 1 : 0;
  vyr_log(0, "ID:[%s] v:%s", r.id, tf(r.id_valid));
  return r.id_valid != 0;
}

bool verifyLine1(char* text, int len) {
  for (int i = 0; i < len && text[i] != '\0'; ++i)
    if (text[i] == '0') text[i] = 'O';
  return true;
}

bool verifyFamilyName(char c) { return !(c == 'E' || c == 'I' || c == 'U' || c == 'V'); }

// ============================================================================
// Nationality codes
// ============================================================================

// Two codes for many states (ICAO and sports codes); DMA, HKG and VEN are
// listed twice and keep their first name.
const NCODE_RECORD C_PASSPORT_NCODE[kNcodeRecordCount] = {
    {"ABW", "阿鲁巴"},
    {"AFG", "阿富汗"},
    {"AGO", "安哥拉"},
    {"AHO", "荷属安的列斯"},
    {"AIA", "安圭拉"},
    {"ALA", "奥兰群岛"},
    {"ALB", "阿尔巴尼亚"},
    {"ALG", "阿尔及利亚"},
    {"AND", "安道尔"},
    {"ANG", "安哥拉"},
    {"ANT", "荷属安的列斯"},
    {"ARE", "阿联酋"},
    {"ARG", "阿根廷"},
    {"ARM", "亚美尼亚"},
    {"ARU", "阿鲁巴"},
    {"ASA", "美属萨摩亚"},
    {"ASM", "美属萨摩亚"},
    {"ATA", "南极洲"},
    {"ATF", "法属南部领地"},
    {"ATG", "安提瓜和巴布达"},
    {"AUS", "澳大利亚"},
    {"AUT", "奥地利"},
    {"AZE", "阿塞拜疆"},
    {"BAH", "巴哈马"},
    {"BAN", "孟加拉国"},
    {"BAR", "巴巴多斯"},
    {"BDI", "布隆迪"},
    {"BEL", "比利时"},
    {"BEN", "贝宁"},
    {"BER", "百慕大"},
    {"BES", "荷兰加勒比区"},
    {"BFA", "布基纳法索"},
    {"BGD", "孟加拉国"},
    {"BGR", "保加利亚"},
    {"BHR", "巴林"},
    {"BHS", "巴哈马"},
    {"BHU", "不丹"},
    {"BIH", "波黑"},
    {"BIZ", "伯利兹"},
    {"BLM", "圣巴泰勒米"},
    {"BLR", "白俄罗斯"},
    {"BLZ", "伯利兹"},
    {"BMU", "百慕大"},
    {"BOL", "玻利维亚"},
    {"BOT", "博茨瓦纳"},
    {"BRA", "巴西"},
    {"BRB", "巴巴多斯"},
    {"BRN", "文莱"},
    {"BRU", "文莱"},
    {"BTN", "不丹"},
    {"BUL", "保加利亚"},
    {"BUR", "布基纳法索"},
    {"BVT", "布韦岛"},
    {"BWA", "博茨瓦纳"},
    {"CAF", "中非"},
    {"CAM", "柬埔寨"},
    {"CAN", "加拿大"},
    {"CAY", "开曼群岛"},
    {"CCK", "科科斯群岛"},
    {"CGO", "刚果（布）"},
    {"CHA", "乍得"},
    {"CHE", "瑞士"},
    {"CHI", "智利"},
    {"CHL", "智利"},
    {"CHN", "中国"},
    {"CIV", "科特迪瓦"},
    {"CMR", "喀麦隆"},
    {"COD", "刚果（金）"},
    {"COG", "刚果（布）"},
    {"COK", "库克群岛"},
    {"COL", "哥伦比亚"},
    {"COM", "科摩罗"},
    {"CPV", "佛得角"},
    {"CRC", "哥斯达黎加"},
    {"CRI", "哥斯达黎加"},
    {"CRO", "克罗地亚"},
    {"CUB", "古巴"},
    {"CXR", "圣诞岛"},
    {"CYM", "开曼群岛"},
    {"CYP", "塞浦路斯"},
    {"CZE", "捷克"},
    {"DEN", "丹麦"},
    {"DEU", "德国"},
    {"DJI", "吉布提"},
    {"DMA", "多米尼克"},
    {"DMA", "多米尼加"},
    {"DNK", "丹麦"},
    {"DOM", "多米尼加"},
    {"DZA", "阿尔及利亚"},
    {"ECU", "厄瓜多尔"},
    {"EGY", "埃及"},
    {"ERI", "厄立特里亚"},
    {"ESA", "萨尔瓦多"},
    {"ESH", "西撒哈拉"},
    {"ESP", "西班牙"},
    {"EST", "爱沙尼亚"},
    {"ETH", "埃塞俄比亚"},
    {"EUE", "欧盟"},
    {"FIJ", "斐济"},
    {"FIN", "芬兰"},
    {"FJI", "斐济"},
    {"FLK", "福克兰群岛"},
    {"FRA", "法国"},
    {"FRO", "法罗群岛"},
    {"FSM", "密克罗尼西亚"},
    {"GAB", "加蓬"},
    {"GAM", "冈比亚"},
    {"GBN", "英国"},
    {"GBR", "英国"},
    {"GBS", "几内亚比绍"},
    {"GEO", "格鲁吉亚"},
    {"GEQ", "赤道几内亚"},
    {"GER", "德国"},
    {"GGY", "根西岛"},
    {"GHA", "加纳"},
    {"GIB", "直布罗陀"},
    {"GIN", "几内亚"},
    {"GLP", "瓜德罗普"},
    {"GMB", "冈比亚"},
    {"GNB", "几内亚比绍"},
    {"GNQ", "赤道几内亚"},
    {"GRC", "希腊"},
    {"GRD", "格林纳达"},
    {"GRE", "希腊"},
    {"GRL", "格陵兰"},
    {"GRN", "格林纳达"},
    {"GTM", "危地马拉"},
    {"GUA", "危地马拉"},
    {"GUF", "法属圭亚那"},
    {"GUI", "几内亚"},
    {"GUM", "关岛"},
    {"GUY", "圭亚那"},
    {"HAI", "海地"},
    {"HKG", "中国香港"},
    {"HKG", "香港"},
    {"HMD", "赫德岛和麦克唐纳群岛"},
    {"HND", "洪都拉斯"},
    {"HON", "洪都拉斯"},
    {"HRV", "克罗地亚"},
    {"HTI", "海地"},
    {"HUN", "匈牙利"},
    {"IDN", "印度尼西亚"},
    {"IMN", "马恩岛"},
    {"INA", "印度尼西亚"},
    {"IND", "印度"},
    {"IOT", "英属印度洋领地"},
    {"IRI", "伊朗"},
    {"IRL", "爱尔兰"},
    {"IRN", "伊朗"},
    {"IRQ", "伊拉克"},
    {"ISL", "冰岛"},
    {"ISR", "以色列"},
    {"ISV", "美属维尔京群岛"},
    {"ITA", "意大利"},
    {"IVB", "英属维尔京群岛"},
    {"JAM", "牙买加"},
    {"JEY", "泽西岛"},
    {"JOR", "约旦"},
    {"JPN", "日本"},
    {"KAZ", "哈萨克斯坦"},
    {"KEN", "肯尼亚"},
    {"KGZ", "吉尔吉斯斯坦"},
    {"KHM", "柬埔寨"},
    {"KIR", "基里巴斯"},
    {"KNA", "圣基茨和尼维斯"},
    {"KOR", "韩国"},
    {"KSA", "沙特阿拉伯"},
    {"KUW", "科威特"},
    {"KWT", "科威特"},
    {"LAO", "老挝"},
    {"LAT", "拉脱维亚"},
    {"LBA", "利比亚"},
    {"LBN", "黎巴嫩"},
    {"LBR", "利比里亚"},
    {"LBY", "利比亚"},
    {"LCA", "圣卢西亚"},
    {"LES", "莱索托"},
    {"LIB", "黎巴嫩"},
    {"LIE", "列支敦士登"},
    {"LKA", "斯里兰卡"},
    {"LSO", "莱索托"},
    {"LTU", "立陶宛"},
    {"LUX", "卢森堡"},
    {"LVA", "拉脱维亚"},
    {"MAC", "澳门"},
    {"MAD", "马达加斯加"},
    {"MAF", "法属圣马丁"},
    {"MAR", "摩洛哥"},
    {"MAS", "马来西亚"},
    {"MAW", "马拉维"},
    {"MCO", "摩纳哥"},
    {"MDA", "摩尔多瓦"},
    {"MDG", "马达加斯加"},
    {"MDV", "马尔代夫"},
    {"MEX", "墨西哥"},
    {"MGL", "蒙古"},
    {"MHL", "马绍尔群岛"},
    {"MKD", "北马其顿"},
    {"MLI", "马里"},
    {"MLT", "马耳他"},
    {"MMR", "缅甸"},
    {"MNE", "黑山"},
    {"MNG", "蒙古"},
    {"MNP", "北马里亚纳群岛"},
    {"MON", "摩纳哥"},
    {"MOZ", "莫桑比克"},
    {"MRI", "毛里求斯"},
    {"MRT", "毛里塔尼亚"},
    {"MSR", "蒙特塞拉特"},
    {"MTN", "毛里塔尼亚"},
    {"MTQ", "马提尼克"},
    {"MUS", "毛里求斯"},
    {"MWI", "马拉维"},
    {"MYA", "缅甸"},
    {"MYS", "马来西亚"},
    {"MYT", "马约特"},
    {"NAM", "纳米比亚"},
    {"NCA", "尼加拉瓜"},
    {"NCL", "新喀里多尼亚"},
    {"NED", "荷兰"},
    {"NEP", "尼泊尔"},
    {"NER", "尼日尔"},
    {"NFK", "诺福克岛"},
    {"NGA", "尼日利亚"},
    {"NGR", "尼日利亚"},
    {"NIC", "尼加拉瓜"},
    {"NIG", "尼日尔"},
    {"NIU", "纽埃"},
    {"NLD", "荷兰"},
    {"NOR", "挪威"},
    {"NPL", "尼泊尔"},
    {"NRU", "瑙鲁"},
    {"NZL", "新西兰"},
    {"OMA", "阿曼"},
    {"OMN", "阿曼"},
    {"PAK", "巴基斯坦"},
    {"PAN", "巴拿马"},
    {"PAR", "巴拉圭"},
    {"PCN", "皮特凯恩群岛"},
    {"PER", "秘鲁"},
    {"PHI", "菲律宾"},
    {"PHL", "菲律宾"},
    {"PLE", "巴勒斯坦"},
    {"PLW", "帕劳"},
    {"PNG", "巴布亚新几内亚"},
    {"POL", "波兰"},
    {"POR", "葡萄牙"},
    {"PRI", "波多黎各"},
    {"PRK", "朝鲜"},
    {"PRT", "葡萄牙"},
    {"PRY", "巴拉圭"},
    {"PSE", "巴勒斯坦"},
    {"PUR", "波多黎各"},
    {"PYF", "法属波利尼西亚"},
    {"QAT", "卡塔尔"},
    {"REU", "留尼汪"},
    {"ROU", "罗马尼亚"},
    {"RSA", "南非"},
    {"RUS", "俄罗斯"},
    {"RWA", "卢旺达"},
    {"SAM", "萨摩亚"},
    {"SAU", "沙特阿拉伯"},
    {"SDN", "苏丹"},
    {"SEN", "塞内加尔"},
    {"SEY", "塞舌尔"},
    {"SGP", "新加坡"},
    {"SGS", "南乔治亚和南桑威奇群岛"},
    {"SHN", "圣赫勒拿"},
    {"SIN", "新加坡"},
    {"SJM", "斯瓦尔巴和扬马延"},
    {"SKN", "圣基茨和尼维斯"},
    {"SLB", "所罗门群岛"},
    {"SLE", "塞拉利昂"},
    {"SLO", "斯洛文尼亚"},
    {"SLV", "萨尔瓦多"},
    {"SMR", "圣马力诺"},
    {"SOL", "所罗门群岛"},
    {"SOM", "索马里"},
    {"SPM", "圣皮埃尔和密克隆"},
    {"SRB", "塞尔维亚"},
    {"SRI", "斯里兰卡"},
    {"SSD", "南苏丹"},
    {"STP", "圣多美和普林西比"},
    {"SUD", "苏丹"},
    {"SUI", "瑞士"},
    {"SUR", "苏里南"},
    {"SVK", "斯洛伐克"},
    {"SVN", "斯洛文尼亚"},
    {"SWE", "瑞典"},
    {"SWZ", "斯威士兰"},
    {"SYC", "塞舌尔"},
    {"SYR", "叙利亚"},
    {"TAN", "坦桑尼亚"},
    {"TCA", "特克斯和凯科斯群岛"},
    {"TCD", "乍得"},
    {"TEA", "东帝汶"},
    {"TGA", "汤加"},
    {"TGO", "多哥"},
    {"THA", "泰国"},
    {"TJK", "塔吉克斯坦"},
    {"TKL", "托克劳"},
    {"TKM", "土库曼斯坦"},
    {"TLS", "东帝汶"},
    {"TOG", "多哥"},
    {"TON", "汤加"},
    {"TPE", "中华台北"},
    {"TRI", "特立尼达和多巴哥"},
    {"TTO", "特立尼达和多巴哥"},
    {"TUN", "突尼斯"},
    {"TUR", "土耳其"},
    {"TUV", "图瓦卢"},
    {"TWN", "台湾"},
    {"TZA", "坦桑尼亚"},
    {"UAE", "阿联酋"},
    {"UGA", "乌干达"},
    {"UKR", "乌克兰"},
    {"UMI", "美国本土外小岛屿"},
    {"UNA", "联合国专门机构"},
    {"UNK", "科索沃居民"},
    {"UNO", "联合国组织"},
    {"URU", "乌拉圭"},
    {"URY", "乌拉圭"},
    {"USA", "美国"},
    {"UZB", "乌兹别克斯坦"},
    {"VAN", "瓦努阿图"},
    {"VAT", "梵蒂冈"},
    {"VCT", "圣文森特和格林纳丁斯"},
    {"VEN", "委内瑞拉"},
    {"VEN", "委內瑞拉"},
    {"VGB", "英属维尔京群岛"},
    {"VIE", "越南"},
    {"VIN", "圣文森特和格林纳丁斯"},
    {"VIR", "美属维尔京群岛"},
    {"VNM", "越南"},
    {"VUT", "瓦努阿图"},
    {"WLF", "瓦利斯和富图纳"},
    {"WSM", "萨摩亚"},
    {"XBA", "非洲开发银行"},
    {"XCC", "加勒比共同体"},
    {"XCE", "欧洲委员会"},
    {"XCO", "东南非共同市场"},
    {"XDC", "南部非洲发展共同体"},
    {"XEC", "西非国家经济共同体"},
    {"XIM", "国际移动卫星组织"},
    {"XOM", "马耳他最高军教团"},
    {"XPO", "国际刑事警察组织"},
    {"XXA", "无国籍"},
    {"XXB", "难民"},
    {"XXC", "难民"},
    {"XXX", "未确定国籍"},
    {"YEM", "也门"},
    {"ZAF", "南非"},
    {"ZAM", "赞比亚"},
    {"ZIM", "津巴布韦"},
    {"ZMB", "赞比亚"},
    {"ZWE", "津巴布韦"},
    {"CUW", "Curaçao"},
    {"NTZ", "Neutral Zone"},
    {"SXM", "Sint Maarten"},
    {"GBD", "British Overseas Territories"},
    {"GBO", "British Overseas Citizen"},
    {"GBP", "British Protected"},
    {"UTO", "Utopia"},
    {"RKS", "Kosovo"},
    {"INP", "Interpol"},
};

std::map<std::string, std::string> g_ncode_map;

int init_ncode_map() {
  g_ncode_map.clear();
  for (const NCODE_RECORD& rec : C_PASSPORT_NCODE) {
    if (rec.code[0] == '\0') continue;
    g_ncode_map.emplace(rec.code, rec.name);  // keeps the first of a repeated code
  }
  return 0;
}

bool verifyNCode(char* code, std::string& name) {
  if (code == nullptr) return false;
  name = code;
  const std::size_t n = strnlen(code, 3);
  if (n == 3 && code[2] == '<') return true;
  for (std::size_t i = 0; i < n; ++i) {
    if (code[i] == '0') code[i] = 'O';
    if (code[i] == '8') code[i] = 'S';
  }
  const auto it = g_ncode_map.find(code);
  if (it == g_ncode_map.end()) return false;
  name = it->second;
  return true;
}

bool verifyNcode(char* code) {
  std::string name;
  return verifyNCode(code, name);
}
