#include "ui/tips.h"

#include <atomic>
#include <cstdlib>

#include "pipeline/installer_state.h"
#include "pipeline/reporting.h"

namespace quilmo {

namespace {

const char* const kTips[kTipCount] = {
    "安装进度跑完后，请观察 Office 功能区是否有“奎墨”",
    "有功能不会使用？按下 Ctrl 键再点那个功能打开说明书",
    "有事没事，点开用户中心看看，可能有惊喜",
    "奎墨支持 MicroSoft Office 和 WPS",
    "如果 WPS 中不显示，请查看说明书中的解决办法",
    "关注“奎墨”公众号，第一时间获取新功能和使用技巧",
    "如果安装后有文件被误报病毒，请还原并信任",
};

std::atomic<int> g_lastTip{-1};

int RuntimeRand() { return std::rand(); }

}  // namespace

const char* TipText(int index) { return (index >= 0 && index < kTipCount) ? kTips[index] : nullptr; }

int PickTipIndex(int last, int (*next)()) {
    int index;
    do {
        index = next() % kTipCount;
    } while (index == last);
    return index;
}

int ShowRandomTip() {
    int index = PickTipIndex(g_lastTip.load(), RuntimeRand);
    g_lastTip = index;
    SetStatusText(kTips[index]);
    return index;
}

}  // namespace quilmo
