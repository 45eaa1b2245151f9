"""The module's published interface: every function with its parameter
names and type words, in registration order. Tests check the built module
against this list and derive valid and invalid arguments from the types."""

SIGNATURES = """
run_coordinator
cwma source:series period:uint
dema source:series period:uint
ema source:series period:uint
ema_last source:series period:uint
epma source:series period:uint offset:uint
frama candles:candles window:uint fc:uint sc:uint
hma source:series period:uint
hwma source:series na:float nb:float nc:float
jma source:series period:uint phase:float power:uint
kama source:series period:uint fast_length:uint slow_length:uint
maaq source:series period:uint fast_period:uint slow_period:uint
mcginley_dynamic source:series period:uint k:float
mwdx source:series factor:float
nma source:series period:uint
rma source:series length:uint
sma source:series period:uint
sma_last source:series period:uint
smma source:series length:uint
sqwma source:series period:uint
srwma source:series period:uint
t3 candles:candles period:uint vfactor:float source_type:str sequential:bool
tema source:series period:uint
trix source:series period:uint
vidya source:series length:uint fix_cmo:bool select:bool
vlma_inner source:series a:series b:series c:series d:series min_period:uint max_period:uint
vpwma source:series period:uint power:float
vwap candles:candles source_type:str anchor:str sequential:bool
vwma candles:candles period:uint
wilders source:series period:uint
wma source:series period:uint
zlema source:series period:uint
aroonosc candles:candles period:uint
cci candles:candles period:uint
cfo source:series period:uint scalar:float
cg source:series period:uint
cmo source:series period:uint
dpo source:series period:uint
dti candles:candles r:uint s:uint u:uint
fisher candles:candles period:uint
fosc source:series period:uint
lrsi candles:candles alpha:float
macd source:series fast_period:uint slow_period:uint signal_period:uint
mass candles:candles period:uint
pfe source:series period:uint smoothing:uint
rsi source:series period:uint
rsi_last source:series period:uint
rsx source:series period:uint
srsi source:series period:uint period_stoch:uint k_period:uint d_period:uint
stoch candles:candles fastk_period:uint slowk_period:uint _slowk_matype:uint slowd_period:uint _slowd_matype:uint
stochf candles:candles fastk_period:uint fastd_period:uint fastd_matype:uint
willr candles:candles period:uint
wt candles:candles wtchannellen:uint wtaveragelen:uint wtmalen:uint oblevel:float oslevel:float source_type:str
adx candles:candles period:uint
adxr candles:candles period:uint
alligator source:series
di candles:candles period:uint
dm candles:candles period:uint
dx candles:candles di_length:uint adx_smoothing:uint _sequential:bool
ichimoku_cloud candles:candles conversion_line_period:uint base_line_period:uint lagging_line_period:uint displacement:uint
safezonestop candles:candles period:uint mult:float max_lookback:uint direction:bool
sar candles:candles acceleration:float maximum:float
supertrend candles:candles period:uint factor:float
vi candles:candles period:uint sequential:bool
adosc candles:candles fast_period:uint slow_period:uint
cvi candles:candles period:uint
efi source:series candles:candles period:uint
emv candles:candles length:uint div:float
nvi source:series candles:candles
pvi source:series candles:candles
wad candles:candles
atr candles:candles period:uint
atr_last candles:candles period:uint
bollinger_bands source:series period:uint devup:float devdn:float
bollinger_bands_last source:series period:uint devup:float devdn:float
bollinger_bands_width source:series period:uint mult:float
chande candles:candles period:uint mult:float direction:str
chop candles:candles period:uint scalar:float drift:uint
donchian candles:candles period:uint
keltner_inner ma_values:series high:series low:series close:series period:uint multiplier:float
bandpass source:series period:uint bandwidth:float
correlation_cycle source:series period:uint threshold:float
edcf source:series period:uint
gauss source:series period:uint poles:uint
high_pass source:series period:uint
high_pass_2_pole source:series period:uint
itrend source:series alpha:float
mama source:series fastlimit:float slowlimit:float
pma source:series
reflex source:series period:uint
supersmoother source:series period:uint
supersmoother_3_pole source:series period:uint
trendflex source:series period:uint
voss source:series period:uint predict:uint bandwidth:float
trading_hours_mask timestamps:int64 starts:int64 ends:int64
filter_candles_by_intervals candles:candles timestamps:int64 starts:int64 ends:int64
candle_from_one_minutes candles:candles
fix_jumped_candles candles:candles
emd candles:candles period:uint delta:float fraction:float
heikin_ashi_candles candles:candles
qstick candles:candles period:uint
damiani_volatmeter candles:candles source:series vis_atr:uint vis_std:uint sed_atr:uint sed_std:uint threshold:float
hurst_rs x:series min_chunksize:uint max_chunksize:uint num_chunksize:uint
linearreg source:series period:uint
find_order_index orders:candles order_array:series
moving_std source:series period:uint
shift source:series periods:int
subtract_floats float1:float float2:float
sum_floats float1:float float2:float
"""


def valid(type_word, n=40):
    """A well-formed argument of the given type word."""
    import numpy as np

    rng = np.random.default_rng(1)
    return {
        "series": rng.random(n) + 1.0,
        "candles": np.column_stack([np.arange(n) * 60000.0, *(rng.random((5, n)) + 1.0)]),
        "int64": np.arange(n, dtype=np.int64),
        "uint": 3,
        "int": 2,
        "float": 0.5,
        "str": "close",
        "bool": True,
    }[type_word]


def _parse():
    out = []
    for line in SIGNATURES.strip().splitlines():
        name, *params = line.split()
        out.append((name, [tuple(p.split(":")) for p in params]))
    return out


FUNCTIONS = _parse()
NUMERIC = FUNCTIONS[1:]
