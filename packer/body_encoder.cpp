#include "packer/body_encoder.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "engine/lz_decoder.h"

#include "packer/match_finder.h"
#include "packer/path_relax.h"
#include "packer/trial_finder.h"
#include "packer/symbol_coder.h"

LevelSettings SettingsForLevel(int level) {
    // Tuned on CMake's modules (many small files) and libpython3.11.a (one large binary):
    // longer chains pay at level 7 (128 links: 0.37 % smaller than 64 on Python, for a
    // quarter more time; 112 links 0.02 % larger than 128 on CMake's tree for 0.8 % less
    // work), and so does a second pricing round (0.3 % on CMake), a longer nice length
    // barely does (level 7 at 44 instead of 64: 0.1 % larger on CMake's tree for 8 % less
    // work). Level 7 prices with estimated code lengths and looks for 2-byte matches in
    // binary bodies only. Level 9 takes what helps at all: six pricing rounds, 2048 links
    // and no nice length short of the longest match.
    static const LevelSettings table[] = {
        {LevelSettings::Greedy, 4, 32, 0},     {LevelSettings::Greedy, 8, 64, 0},
        {LevelSettings::Greedy, 24, 128, 0},   {LevelSettings::Lazy, 16, 128, 0},
        {LevelSettings::Lazy, 48, 256, 0},     {LevelSettings::Lazy, 128, 1024, 0},
        {LevelSettings::Optimal, 112, 44, 2, false, false, true},  {LevelSettings::Optimal, 160, 512, 2},
        {LevelSettings::Optimal, 2048, 4352, 6, true},
    };
    if (level < 1) level = 1;
    if (level > 9) level = 9;
    return table[level - 1];
}

bool UsesPairs(const LevelSettings& settings, const uint8_t* body, int64_t bytes) {
    // Only the optimal parse prices 2-byte matches; the others never take them.
    if (settings.strategy != LevelSettings::Optimal) return false;
    if (settings.textPairs) return true;
    const int64_t n = std::min<int64_t>(bytes, 4096);
    int64_t control = 0;
    for (int64_t i = 0; i < n; ++i) {
        const uint8_t c = body[i];
        control += (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || c == 0x7F;
    }
    return control * 64 >= n && control > 0;
}

namespace {

// Below three bytes a match rarely pays for its distance code; only the optimal parse,
// which prices it, takes length 2.
constexpr int32_t GreedyMinimum = 3;

struct Token {
    uint16_t length;  // 1: a literal
    uint16_t value;   // the literal byte, or the distance (at most 16,384)
};

// Where a parse sends its tokens: the real coder, or a tally for trials.
struct CodingSink {
    SymbolCoder& coder;
    BitWriter& out;
    bool Enough() const { return false; }
    void Literal(uint8_t byte) { coder.Literal(&out, byte); }
    void Match(int32_t length, int32_t distance) { coder.Match(&out, length, distance); }
};

// Rough code lengths of the adaptive models, in bits: enough to compare two ways of
// priming a file without running the models themselves. A match costs two literals: of
// the weights tried on CMake's and Python's trees (a literal 6 to 10 bits, a match 12 to
// 24), this ratio ranked the references best (0.015 % smaller than 8 and 20).
struct EstimateSink {
    uint64_t bits = 0;
    uint64_t enough = UINT64_MAX;  // the parse may stop once this many bits are reached
    bool Enough() const { return bits >= enough; }
    void Literal(uint8_t) { bits += 8; }
    void Match(int32_t length, int32_t) { bits += length > 256 ? 9 + 12 + 7 + 5 : 16; }
};

template <typename Sink, typename Finder = MatchFinder>
struct Body {
    const uint8_t* window;
    int32_t history;
    int64_t total;  // where the body ends, in window positions (a stream may not hold it yet)
    const LevelSettings& settings;
    Finder& finder;
    Sink& sink;

    int32_t Limit(int32_t position) const {
        return static_cast<int32_t>(std::min<int64_t>(MaxMatchLength, total - position));
    }
    int32_t Search(int32_t position, int32_t* distance) const {
        int32_t n = finder.Longest(position, Limit(position), settings.chainDepth, distance);
        return n >= GreedyMinimum ? n : 0;
    }
};

// Where a greedy or lazy parse stands, so that a stream can resume it.
struct GreedyState {
    int32_t position;
    bool pending = false;
    int32_t pendingLength = 0, pendingDistance = 0;
};

// Greedy takes the longest match at each position; lazy first looks whether the next
// position offers a longer one and, if so, sends a literal instead. Parses the
// positions in front of `until` (a match may run past it); at the body's end the
// pending match goes out.
template <typename Sink, typename Finder>
void ParseGreedyOrLazy(Body<Sink, Finder>& b, bool lazy, GreedyState& s, int64_t until) {
    while (s.position < until) {
        if (b.sink.Enough()) return;
        int32_t distance = 0;
        int32_t length = b.Search(s.position, &distance);
        if (s.pending) {
            if (length > s.pendingLength) {
                b.sink.Literal(b.window[s.position - 1]);
                s.pendingLength = length;
                s.pendingDistance = distance;
                b.finder.Insert(s.position);
                ++s.position;
                if (length >= b.settings.niceLength) {
                    b.sink.Match(s.pendingLength, s.pendingDistance);
                    b.finder.InsertRange(s.position, s.position - 1 + s.pendingLength);
                    s.position += s.pendingLength - 1;
                    s.pending = false;
                }
            } else {
                b.sink.Match(s.pendingLength, s.pendingDistance);
                b.finder.InsertRange(s.position, s.position - 1 + s.pendingLength);
                s.position += s.pendingLength - 1;
                s.pending = false;
            }
            continue;
        }
        if (length == 0) {
            b.sink.Literal(b.window[s.position]);
            b.finder.Insert(s.position);
            ++s.position;
        } else if (!lazy || length >= b.settings.niceLength) {
            b.sink.Match(length, distance);
            b.finder.InsertRange(s.position, s.position + length);
            s.position += length;
        } else {
            s.pending = true;
            s.pendingLength = length;
            s.pendingDistance = distance;
            b.finder.Insert(s.position);
            ++s.position;
        }
    }
    if (s.position >= b.total && s.pending) {
        b.sink.Match(s.pendingLength, s.pendingDistance);
        s.pending = false;
    }
}

// The code lengths of both trees from one point of a trial encoding on.
struct PriceEpoch {
    int32_t position;
    uint16_t literal[SymbolCount + RelaxPadding];  // the lengths' prices are read past the last
    uint16_t distance[SymbolCount];
};

// The optimal parse is made in chunks so that its tables stay small; a match never
// crosses the end of a chunk.
constexpr int32_t OptimalChunk = 1 << 16;

class OptimalParser {
public:
    // Parses [start, end) of the body; positions in front of `start` are in the finder.
    void ParseChunk(Body<CodingSink>& b, int32_t start, int32_t end) {
        b_ = &b;
        ParseChunk(start, end);
    }

private:
    static constexpr uint32_t Unreached = 0xFFFFFFFFu;

    void ParseChunk(int32_t start, int32_t end) {
        CollectMatches(start, end);
        LazyFromCandidates(start, end);
        for (int pass = 0; pass < b_->settings.passes; ++pass) {
            const bool inForce = PricedByTreesInForce();
            Price(start);
            ShortestPath(start, end);
            // Priced by the same trees once more, the path would come out the same.
            if (inForce && PricedByTreesInForce()) break;
        }
        for (const Token& t : tokens_) {
            if (t.length == 1) b_->sink.Literal(static_cast<uint8_t>(t.value));
            else b_->sink.Match(t.length, t.value);
        }
    }

    // Until the literal/length tree's first rebuild only the distance tree can change:
    // below the top level a short chunk is priced with the trees in force, without a
    // trial coding (which costs level 7 about 6 % more work on small files for 0.004 %
    // of their size). Those prices do not depend on the tokens.
    bool PricedByTreesInForce() const { return tokens_.size() < 256 && !b_->settings.priceShort; }

    // Every match the finder offers at each position of [start, end), written straight
    // into candidates_, which only grows (room for two full lists is made before each
    // search). Positions are searched two at a time, the walks taking turns.
    void CollectMatches(int32_t start, int32_t end) {
        constexpr size_t MostFound = MatchFinder::MostFound;
        const int32_t n = end - start;
        const LevelSettings& settings = b_->settings;
        MatchFinder& finder = b_->finder;
        first_.resize(static_cast<size_t>(n) + 1);
        size_t used = 0;
        // The list of position i is complete at `used`: when it ends in a match long
        // enough to take as it stands, the positions that match covers get no search
        // (and go into the finder from `inserted` on); the next position to search is
        // returned.
        auto close = [&](int32_t i, int k, int32_t inserted) {
            MatchCandidate* const found = candidates_.data() + used;
            first_[i] = static_cast<int32_t>(used);
            if (k > 0 && found[k - 1].length >= settings.niceLength) {
                const int32_t length = found[k - 1].length;
                found[0] = found[k - 1];
                ++used;
                for (int32_t j = i + 1; j < i + length; ++j) first_[j] = static_cast<int32_t>(used);
                finder.InsertRange(inserted, start + i + length);
                return i + length;
            }
            used += static_cast<size_t>(k);
            if (inserted == start + i) finder.Insert(inserted);
            return i + 1;
        };
        for (int32_t i = 0; i < n;) {
            const int32_t p = start + i;
            if (candidates_.size() < used + 2 * MostFound)
                candidates_.resize(std::max(2 * candidates_.size(), used + 2 * MostFound + static_cast<size_t>(n)));
            MatchCandidate* const here = candidates_.data() + used;
            if (i + 1 == n) {
                i = close(i, finder.Collect(p, std::min(MaxMatchLength, end - p), settings.chainDepth, here), p);
                continue;
            }
            MatchCandidate* found[2] = {here, here + MostFound};
            const int32_t limit[2] = {std::min(MaxMatchLength, end - p), std::min(MaxMatchLength, end - p - 1)};
            int k[2];
            finder.CollectTwo(p, limit, settings.chainDepth, found, k);  // p is in the finder now
            const int32_t next = close(i, k[0], p + 1);
            if (next != i + 1) {
                i = next;  // the second search was inside a match taken whole
                continue;
            }
            std::copy(found[1], found[1] + k[1], candidates_.data() + used);
            i = close(i + 1, k[1], p + 1);
        }
        first_[n] = static_cast<int32_t>(used);
    }

    // The path that the first pricing round prices: the longest match at each position,
    // unless the next position offers a longer one (a lazy parse). On text its prices
    // lie nearer the final path's than those of taking every longest match: at level 7
    // CMake's tree comes out 0.04 % smaller (0.1 % at one round), Python's library
    // 0.005 % larger.
    void LazyFromCandidates(int32_t start, int32_t end) {
        const int32_t n = end - start;
        auto longest = [&](int32_t i) { return first_[i + 1] > first_[i] ? candidates_[first_[i + 1] - 1].length : 0; };
        tokens_.clear();
        for (int32_t i = 0; i < n;) {
            const int32_t length = longest(i);
            if (length >= GreedyMinimum && (i + 1 == n || longest(i + 1) <= length)) {
                const MatchCandidate& c = candidates_[first_[i + 1] - 1];
                tokens_.push_back({static_cast<uint16_t>(c.length), static_cast<uint16_t>(c.distance)});
                i += c.length;
            } else {
                tokens_.push_back({1, b_->window[start + i]});
                ++i;
            }
        }
    }

    // Runs the current tokens through a copy of the models and notes the code lengths
    // in force wherever a tree changes.
    void Price(int32_t start) {
        if (PricedByTreesInForce()) {
            SymbolCoder& c = b_->sink.coder;
            c.Prepare();
            epochs_.clear();
            epochs_.emplace_back();
            PriceEpoch& e = epochs_.back();
            e.position = start;
            std::copy(c.literalCodes.length, c.literalCodes.length + SymbolCount, e.literal);
            std::copy(c.distanceCodes.length, c.distanceCodes.length + SymbolCount, e.distance);
            return;
        }
        if (!trial_) {
            trial_.reset(new SymbolCoder);
            trial_->lengthsOnly = true;
            trial_->Start();  // the leaves are set up once; each trial takes over the state
        }
        trial_->estimated = b_->settings.estimatedPrices;
        trial_->CopyCountsFrom(b_->sink.coder);
        epochs_.clear();
        int32_t position = start;
        auto note = [&] {
            trial_->Prepare();
            if (!epochs_.empty() && noted_ == trial_->generation) return;
            noted_ = trial_->generation;
            epochs_.emplace_back();
            PriceEpoch& e = epochs_.back();
            e.position = position;
            std::copy(trial_->literalCodes.length, trial_->literalCodes.length + SymbolCount, e.literal);
            std::copy(trial_->distanceCodes.length, trial_->distanceCodes.length + SymbolCount, e.distance);
        };
        note();
        for (const Token& t : tokens_) {
            if (t.length == 1) trial_->Literal(nullptr, static_cast<uint8_t>(t.value));
            else trial_->Match(nullptr, t.length, t.value);
            position += t.length;
            note();
        }
    }

    void ShortestPath(int32_t start, int32_t end) {
        const int32_t n = end - start;
        const size_t entries = static_cast<size_t>(n) + 1 + RelaxPadding;
        cost_.assign(entries, Unreached);
        fromLength_.resize(entries);
        fromDistance_.resize(entries);
        cost_[0] = 0;
        const PathTables tables{cost_.data(), fromLength_.data(), fromDistance_.data()};
        // The prices in force: those of the last epoch that starts at or before p.
        size_t e = 0;
        const size_t epochCount = epochs_.size();
        auto startOfNext = [&] { return e + 1 < epochCount ? epochs_[e + 1].position : INT32_MAX; };
        int32_t nextEpoch = startOfNext();
        for (int32_t i = 0; i < n; ++i) {
            const int32_t p = start + i;
            while (p >= nextEpoch) {
                ++e;
                nextEpoch = startOfNext();
            }
            const PriceEpoch& price = epochs_[e];
            const uint32_t here = cost_[i];
            RelaxStep(tables, i + 1, here + price.literal[b_->window[p]], 1, 0);
            int32_t covered = 1;
            for (int32_t k = first_[i]; k < first_[i + 1]; ++k) {
                const MatchCandidate& c = candidates_[k];
                const uint32_t base = here + price.distance[DistanceSymbol(c.distance)] + DistanceExtraBits;
                RelaxLengths(tables, i, covered + 1, std::min(c.length, 256), base, price.literal + 254,
                             static_cast<uint16_t>(c.distance));
                // Every length above 256 costs the same; only the whole match is tried.
                if (c.length > 256)
                    RelaxStep(tables, i + c.length, base + price.literal[LongLengthSymbol] + 12, c.length,
                              static_cast<uint16_t>(c.distance));
                covered = c.length;
            }
        }
        tokens_.clear();
        for (int32_t i = n; i > 0;) {
            int32_t length = fromLength_[i];
            if (length == 1) tokens_.push_back({1, b_->window[start + i - 1]});
            else tokens_.push_back({static_cast<uint16_t>(length), fromDistance_[i]});
            i -= length;
        }
        std::reverse(tokens_.begin(), tokens_.end());
    }

    Body<CodingSink>* b_ = nullptr;
    std::vector<MatchCandidate> candidates_;
    std::vector<int32_t> first_;
    std::vector<Token> tokens_;
    std::vector<PriceEpoch> epochs_;
    std::unique_ptr<SymbolCoder> trial_;
    uint32_t noted_ = 0;
    std::vector<uint32_t> cost_;
    std::vector<uint16_t> fromLength_;
    std::vector<uint16_t> fromDistance_;
};

}  // namespace

void EncodeBody(const uint8_t* window, int32_t history, int32_t total, const LevelSettings& settings,
                std::vector<uint8_t>& out) {
    if (total <= history) return;  // the decoder reads no bits for an empty body
    MatchFinder finder(window, total, UsesPairs(settings, window + history, total - history));
    finder.InsertRange(0, history);
    std::unique_ptr<SymbolCoder> coder(new SymbolCoder);
    coder->Start();
    BitWriter bits(out);
    CodingSink sink{*coder, bits};
    Body<CodingSink> body{window, history, total, settings, finder, sink};
    if (settings.strategy == LevelSettings::Optimal) {
        OptimalParser parser;
        for (int32_t start = history; start < total;) {
            int32_t end = std::min(total, start + OptimalChunk);
            parser.ParseChunk(body, start, end);
            start = end;
        }
    } else {
        GreedyState state{history};
        ParseGreedyOrLazy(body, settings.strategy == LevelSettings::Lazy, state, total);
    }
    bits.Align();
}

uint64_t EstimateBodyBits(const uint8_t* window, int32_t history, int32_t total, const LevelSettings& settings,
                          MatchFinder& finder) {
    finder.Reset(window, total, false);
    finder.InsertRange(0, history);
    EstimateSink sink;
    Body<EstimateSink> body{window, history, total, settings, finder, sink};
    GreedyState state{history};
    ParseGreedyOrLazy(body, settings.strategy != LevelSettings::Greedy, state, total);
    return sink.bits;
}

uint64_t EstimateBodyBits(const uint8_t* window, int32_t history, int32_t total, const LevelSettings& settings,
                          const TrialFinder& finder, uint64_t enough) {
    EstimateSink sink;
    sink.enough = enough;
    TrialFinder& chains = const_cast<TrialFinder&>(finder);
    Body<EstimateSink, TrialFinder> body{window, history, total, settings, chains, sink};
    GreedyState state{history};
    ParseGreedyOrLazy(body, settings.strategy != LevelSettings::Greedy, state, total);
    return sink.bits;
}

uint64_t EstimateBodyBits(const uint8_t* window, int32_t history, int32_t total, const LevelSettings& settings) {
    MatchFinder finder;
    return EstimateBodyBits(window, history, total, settings, finder);
}

namespace {

// A parse step may look this far past the position it starts at: a whole match, the
// three bytes hashed at its last position and a word-sized compare.
constexpr int32_t Lookahead = MaxMatchLength + 16;

}  // namespace

struct BodyEncoder::State {
    LevelSettings settings{};
    std::vector<uint8_t> buffer;
    int32_t capacity = 0;
    int32_t loaded = 0;   // valid bytes of buffer
    int32_t history = 0;  // primed bytes at the front, until the first slide
    int64_t end = 0;      // where the body ends, in buffer positions
    bool historyInserted = false;
    bool pairs = false;   // whether the finder keeps 2-byte matches, decided by the body's first bytes
    bool active = false;
    MatchFinder finder;
    SymbolCoder coder;
    std::unique_ptr<BitWriter> bits;
    GreedyState greedy{0};
    int32_t chunkStart = 0;
    OptimalParser optimal;
};

BodyEncoder::BodyEncoder(int32_t chunk) : s_(new State) {
    // A slide must leave room for a whole optimal chunk and its lookahead.
    chunk = std::max(chunk, 2 * OptimalChunk);
    // A top-up moves the finder's end by less than a buffer.
    chunk = std::min(chunk, MatchFinder::MostGrowth / 2);
    s_->capacity = WindowSize + chunk + Lookahead;
    s_->buffer.resize(static_cast<size_t>(s_->capacity));
}

BodyEncoder::~BodyEncoder() = default;

void BodyEncoder::Begin(const uint8_t* history, int32_t historyLength, int64_t bodyBytes, const LevelSettings& settings,
                        std::vector<uint8_t>& out) {
    State& s = *s_;
    s.settings = settings;
    s.active = bodyBytes > 0;  // the decoder reads no bits for an empty body
    std::copy(history, history + historyLength, s.buffer.begin());
    s.loaded = s.history = historyLength;
    s.end = historyLength + bodyBytes;
    s.historyInserted = false;  // the finder starts over at the first Encode
    s.coder.Start();
    s.bits.reset(new BitWriter(out));
    s.greedy = GreedyState{historyLength};
    s.chunkStart = historyLength;
}

void BodyEncoder::Feed(const uint8_t* bytes, size_t n) {
    State& s = *s_;
    if (static_cast<int64_t>(n) > s.end - s.loaded) throw std::logic_error("more body bytes than announced");
    while (n > 0) {
        if (s.loaded == s.capacity) Encode(false);
        size_t take = std::min(n, static_cast<size_t>(s.capacity - s.loaded));
        std::copy(bytes, bytes + take, s.buffer.begin() + s.loaded);
        s.loaded += static_cast<int32_t>(take);
        bytes += take;
        n -= take;
    }
}

void BodyEncoder::Finish() {
    State& s = *s_;
    if (s.loaded != s.end) throw std::logic_error("fewer body bytes than announced");
    if (s.active) Encode(true);
    s.bits->Align();
    s.bits.reset();
    s.active = false;
}

// Encodes what the buffer allows; unless the body is complete, then keeps the last
// window of history and the unparsed bytes and forgets the rest.
void BodyEncoder::Encode(bool final) {
    State& s = *s_;
    if (!s.historyInserted) {
        // The body's first 4 KB (or all of a shorter one) are loaded by now, whichever
        // way it was fed.
        s.pairs = UsesPairs(s.settings, s.buffer.data() + s.history, s.loaded - s.history);
        s.finder.Reset(s.buffer.data(), s.loaded, s.pairs);
        s.finder.InsertRange(0, s.history);
        s.historyInserted = true;
    } else {
        s.finder.SetEnd(s.loaded);
    }
    CodingSink sink{s.coder, *s.bits};
    Body<CodingSink> body{s.buffer.data(), s.history, s.end, s.settings, s.finder, sink};
    int32_t parsed;
    if (s.settings.strategy == LevelSettings::Optimal) {
        while (s.chunkStart < s.end) {
            int64_t chunkEnd = std::min<int64_t>(s.end, s.chunkStart + OptimalChunk);
            if (!final && chunkEnd + Lookahead > s.loaded) break;
            s.optimal.ParseChunk(body, s.chunkStart, static_cast<int32_t>(chunkEnd));
            s.chunkStart = static_cast<int32_t>(chunkEnd);
        }
        parsed = s.chunkStart;
    } else {
        int64_t until = final ? s.end : s.loaded - Lookahead;
        ParseGreedyOrLazy(body, s.settings.strategy == LevelSettings::Lazy, s.greedy, until);
        parsed = s.greedy.position;
    }
    if (final) return;
    const int32_t drop = parsed - WindowSize;
    if (drop <= 0) return;
    std::copy(s.buffer.begin() + drop, s.buffer.begin() + s.loaded, s.buffer.begin());
    s.loaded -= drop;
    s.end -= drop;
    s.history = 0;
    s.greedy.position -= drop;
    s.chunkStart -= drop;
    // Positions in front of the kept window can no longer be reached; the finder starts
    // over with the kept window, which gives the same matches as before.
    s.finder.Reset(s.buffer.data(), s.loaded, s.pairs);
    s.finder.InsertRange(0, parsed - drop);
}
