// ECharts with only what the console's charts use (line charts on a time
// axis, their tooltip and title, drawn on a canvas). Imported on its own so
// that it arrives beside the first screen's data rather than before it.
import * as echarts from 'echarts/core'
import { LineChart } from 'echarts/charts'
import { GridComponent, TooltipComponent, TitleComponent } from 'echarts/components'
import { CanvasRenderer } from 'echarts/renderers'

echarts.use([LineChart, GridComponent, TooltipComponent, TitleComponent, CanvasRenderer])

export default echarts
